#pragma once

#include <QString>

// Kinds and buttons of the message dialog; the kind gives the icon and the title.
enum class MsgKind { Information, Warning, Error, Confirmation };

enum MsgButton : int { MbOk = 1, MbYes = 2, MbNo = 4, MbCancel = 8 };

// One interface for every message the system shows, so tests can record the messages and
// answer with scripted buttons. A CR inside a text is shown as a line break.
class MessageDialogs {
public:
    virtual ~MessageDialogs() = default;
    // The message dialog: returns the button pressed (one of MsgButton).
    virtual int messageDlg(const QString& text, MsgKind kind, int buttons) = 0;
    // The plain message box: no icon, the application title as caption, one OK button.
    virtual void messageBox(const QString& text) = 0;
    // The application's error box: caption, error icon, OK.
    virtual void errorBox(const QString& caption, const QString& text) = 0;
};

// The real dialogs: modal QMessageBox windows.
class WidgetMessageDialogs : public MessageDialogs {
public:
    int messageDlg(const QString& text, MsgKind kind, int buttons) override;
    void messageBox(const QString& text) override;
    void errorBox(const QString& caption, const QString& text) override;
};

// The dialogs in use: the real ones unless a test installs a double; null restores the real.
MessageDialogs& messageDialogs();
void setMessageDialogs(MessageDialogs* dialogs);

// The caption of the plain message box: the title set here ("Quorvane" from the main block),
// or the application name while none is set.
void setApplicationTitle(const QString& title);
QString applicationTitle();

// The title that the kind gives a message dialog: "Information", "Warning", "Error", "Confirm".
QString messageDlgTitle(MsgKind kind);

// A text as a dialog shows it: each CR (or CR LF) becomes one line break.
QString displayText(const QString& text);

// Convenience wrappers used throughout the windows.
int MessageDlg(const QString& text, MsgKind kind, int buttons);
void ShowMessage(const QString& text);

// The "." rule of the error box: a full stop is appended when the last character sorts after
// "." in the single-byte order.
QString errorBoxText(const QString& message);
