#pragma once

#include "platform/MessageDialogs.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

// One message the code under test showed.
struct DialogCall {
    enum Call { MessageDlg, MessageBox, ErrorBox };
    Call call = MessageDlg;
    QString text;                        // as passed, CRs included
    MsgKind kind = MsgKind::Information; // MessageDlg; Error for ErrorBox
    int buttons = MbOk;                  // offered buttons; MbOk for the two boxes
    QString caption;                     // the title the real dialog would show
    int answer = MbOk;                   // the button the double pressed
};

// Stands in for the message dialogs while it lives: the constructor installs it, the
// destructor puts the previous dialogs back. Every call is recorded in order. A message
// dialog is answered from the scripted queue; with the queue empty it presses the button a
// user pressing Enter would: OK, else Yes, else No, else Cancel, of those offered (OK when
// none is offered, as the real dialog then shows OK). The plain
// message box and the error box have only OK and take nothing from the queue.
class MessageDialogsDouble : public MessageDialogs {
public:
    MessageDialogsDouble();
    ~MessageDialogsDouble() override;
    MessageDialogsDouble(const MessageDialogsDouble&) = delete;
    MessageDialogsDouble& operator=(const MessageDialogsDouble&) = delete;

    // Queues answers for the next message dialogs, in order (MsgButton values).
    void answer(int button) { m_answers.append(button); }
    void answer(std::initializer_list<int> buttons) {
        for (int b : buttons) {
            m_answers.append(b);
        }
    }
    int pendingAnswers() const { return m_answers.size(); }

    const QList<DialogCall>& calls() const { return m_calls; }
    QStringList texts() const;
    const DialogCall& last() const { return m_calls.last(); }
    void clear() { m_calls.clear(); }

    // Runs inside each call after it is recorded, as code would run while a modal box is up.
    std::function<void(const DialogCall&)> onCall;

    int messageDlg(const QString& text, MsgKind kind, int buttons) override;
    void messageBox(const QString& text) override;
    void errorBox(const QString& caption, const QString& text) override;

private:
    void record(const DialogCall& call);

    MessageDialogs* m_previous;
    QList<DialogCall> m_calls;
    QList<int> m_answers;
};
