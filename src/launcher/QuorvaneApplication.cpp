#include "launcher/QuorvaneApplication.h"

#include "platform/DriveMapping.h"
#include "platform/Exception.h"
#include "platform/MessageDialogs.h"

QuorvaneApplication::QuorvaneApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(Title);
    setApplicationTitle(Title);
    // The main window ends the program when it closes, also when it closes before it was
    // ever shown; the dialogs that come and go must not end it.
    setQuitOnLastWindowClosed(false);
}

bool QuorvaneApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const Exception& error) {
        showException(error);
        return true;
    }
}

void QuorvaneApplication::showException(const Exception& error) {
    messageDialogs().errorBox(applicationTitle(), errorBoxText(error.message()));
}

void QuorvaneApplication::createDriveFolder() {
    const QString failure = createDriveRoot();
    if (!failure.isEmpty())
        MessageDlg(failure, MsgKind::Warning, MbOk);
}
