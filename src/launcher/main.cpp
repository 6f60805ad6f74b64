#include "launcher/ProgramWindows.h"
#include "launcher/QuorvaneApplication.h"
#include "platform/MessageDialogs.h"
#include "platform/ProcessStart.h"

#include <QTimer>

int main(int argc, char** argv) {
    QuorvaneApplication app(argc, argv);

    // The five windows, in this order, for the whole run; the first is the main window.
    ProgramWindows windows;
    TQuorvaneForm& mainWindow = windows.form;

    setMessageDialogs(nullptr);
    setProcessStarter(nullptr);
    // A new account has no drive folder yet; on Windows drive c: is always there.
    QuorvaneApplication::createDriveFolder();

    // Closing the main window ends the program, also when the first sign-in is cancelled
    // before the message loop runs.
    QObject::connect(&mainWindow, &TQuorvaneForm::closed, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    // Shown from inside the message loop, so an error of the first build reaches the
    // top-level error handler.
    QTimer::singleShot(0, &mainWindow, [&mainWindow] { mainWindow.show(); });
    return app.exec();
}
