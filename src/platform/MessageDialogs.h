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

// The dialogs in use; the application installs the real ones, tests a double.
MessageDialogs& messageDialogs();
void setMessageDialogs(MessageDialogs* dialogs);

// Convenience wrappers used throughout the windows.
int MessageDlg(const QString& text, MsgKind kind, int buttons);
void ShowMessage(const QString& text);

// The "." rule of the error box: a full stop is appended when the last character sorts after
// "." in the single-byte order.
QString errorBoxText(const QString& message);
