#include "launcher/QuorvaneApplication.h"

#include "platform/DriveMapping.h"
#include "platform/MessageDialogs.h"

#include <QIcon>

QuorvaneApplication::QuorvaneApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(Title);
    setApplicationTitle(Title);
    // Every window without an icon of its own shows the application's.
    QIcon icon;
    for (int side : {16, 24, 32, 48, 64}) {
        icon.addFile(QStringLiteral(":/icons/quorvane-%1.png").arg(side));
    }
    setWindowIcon(icon);
    // The main window ends the program when it closes, also when it closes before it was
    // ever shown; the dialogs that come and go must not end it.
    setQuitOnLastWindowClosed(false);
    setTopLevelErrorHandler(this);
}

QuorvaneApplication::~QuorvaneApplication() {
    setTopLevelErrorHandler(nullptr);
}

void QuorvaneApplication::handleException(const Exception& error) {
    showErrorBox(error);
}

bool QuorvaneApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception&) {
        reportCurrentError();
        return true;
    }
}

void QuorvaneApplication::createDriveFolder() {
    const QString failure = createDriveRoot();
    if (!failure.isEmpty())
        MessageDlg(failure, MsgKind::Warning, MbOk);
}
