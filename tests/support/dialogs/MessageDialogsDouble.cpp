#include "dialogs/MessageDialogsDouble.h"

MessageDialogsDouble::MessageDialogsDouble() : m_previous(&messageDialogs()) {
    setMessageDialogs(this);
}

MessageDialogsDouble::~MessageDialogsDouble() {
    setMessageDialogs(m_previous);
}

QStringList MessageDialogsDouble::texts() const {
    QStringList result;
    for (const DialogCall& call : m_calls) {
        result.append(call.text);
    }
    return result;
}

int MessageDialogsDouble::messageDlg(const QString& text, MsgKind kind, int buttons) {
    DialogCall call{DialogCall::MessageDlg, text, kind, buttons, messageDlgTitle(kind), MbOk};
    if (!m_answers.isEmpty()) {
        call.answer = m_answers.takeFirst();
    } else {
        for (int b : {MbOk, MbYes, MbNo, MbCancel}) {
            if (buttons & b) {
                call.answer = b;
                break;
            }
        }
    }
    record(call);
    return call.answer;
}

void MessageDialogsDouble::messageBox(const QString& text) {
    record({DialogCall::MessageBox, text, MsgKind::Information, MbOk, applicationTitle(), MbOk});
}

void MessageDialogsDouble::errorBox(const QString& caption, const QString& text) {
    record({DialogCall::ErrorBox, text, MsgKind::Error, MbOk, caption, MbOk});
}

void MessageDialogsDouble::record(const DialogCall& call) {
    m_calls.append(call);
    if (onCall) {
        onCall(m_calls.last());
    }
}
