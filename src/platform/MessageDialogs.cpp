#include "platform/MessageDialogs.h"

#include <QApplication>
#include <QMessageBox>

namespace {

QMessageBox::StandardButtons standardButtons(int buttons) {
    QMessageBox::StandardButtons result;
    if (buttons & MbOk) {
        result |= QMessageBox::Ok;
    }
    if (buttons & MbYes) {
        result |= QMessageBox::Yes;
    }
    if (buttons & MbNo) {
        result |= QMessageBox::No;
    }
    if (buttons & MbCancel) {
        result |= QMessageBox::Cancel;
    }
    // A dialog without buttons could not be closed; it gets OK.
    return result ? result : QMessageBox::Ok;
}

int pressedButton(int standard) {
    switch (standard) {
    case QMessageBox::Ok:
        return MbOk;
    case QMessageBox::Yes:
        return MbYes;
    case QMessageBox::No:
        return MbNo;
    default:
        return MbCancel;
    }
}

QMessageBox::Icon kindIcon(MsgKind kind) {
    switch (kind) {
    case MsgKind::Information:
        return QMessageBox::Information;
    case MsgKind::Warning:
        return QMessageBox::Warning;
    case MsgKind::Error:
        return QMessageBox::Critical;
    case MsgKind::Confirmation:
        return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

int runBox(QMessageBox::Icon icon, const QString& title, const QString& text,
           QMessageBox::StandardButtons buttons) {
    QMessageBox box(icon, title, displayText(text), buttons, QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    // OK, else Yes, is the default button, as the system's dialogs have it.
    if (buttons & QMessageBox::Ok) {
        box.setDefaultButton(QMessageBox::Ok);
    } else if (buttons & QMessageBox::Yes) {
        box.setDefaultButton(QMessageBox::Yes);
    }
    return box.exec();
}

QString currentTitle;
WidgetMessageDialogs widgetDialogs;
MessageDialogs* currentDialogs = &widgetDialogs;

} // namespace

int WidgetMessageDialogs::messageDlg(const QString& text, MsgKind kind, int buttons) {
    return pressedButton(
        runBox(kindIcon(kind), messageDlgTitle(kind), text, standardButtons(buttons)));
}

void WidgetMessageDialogs::messageBox(const QString& text) {
    runBox(QMessageBox::NoIcon, applicationTitle(), text, QMessageBox::Ok);
}

void WidgetMessageDialogs::errorBox(const QString& caption, const QString& text) {
    runBox(QMessageBox::Critical, caption, text, QMessageBox::Ok);
}

MessageDialogs& messageDialogs() {
    return *currentDialogs;
}

void setMessageDialogs(MessageDialogs* dialogs) {
    currentDialogs = dialogs ? dialogs : &widgetDialogs;
}

void setApplicationTitle(const QString& title) {
    currentTitle = title;
}

QString applicationTitle() {
    return currentTitle.isEmpty() ? QCoreApplication::applicationName() : currentTitle;
}

QString messageDlgTitle(MsgKind kind) {
    switch (kind) {
    case MsgKind::Information:
        return QStringLiteral("Information");
    case MsgKind::Warning:
        return QStringLiteral("Warning");
    case MsgKind::Error:
        return QStringLiteral("Error");
    case MsgKind::Confirmation:
        return QStringLiteral("Confirm");
    }
    return {};
}

QString displayText(const QString& text) {
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

int MessageDlg(const QString& text, MsgKind kind, int buttons) {
    return messageDialogs().messageDlg(text, kind, buttons);
}

void ShowMessage(const QString& text) {
    messageDialogs().messageBox(text);
}

QString errorBoxText(const QString& message) {
    // Characters beyond Latin-1 sort after "." in every single-byte code page, too.
    if (!message.isEmpty() && message.back().unicode() > '.') {
        return message + QLatin1Char('.');
    }
    return message;
}
