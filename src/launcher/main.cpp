#include "launcher/QuorvaneApplication.h"
#include "launcher/quorvanep.h"
#include "platform/MessageDialogs.h"
#include "platform/ProcessStart.h"
#include "signin/QuorvaneUserLogin.h"
#include "signin/passwd2.h"
#include "toolbarconf/ToolBarConf.h"
#include "upgrade/cinstall.h"

#include <QTimer>

int main(int argc, char** argv) {
    QuorvaneApplication app(argc, argv);

    // The five windows, in this order, for the whole run; the first is the main window.
    TQuorvaneForm mainWindow;
    TFormToolbarConf toolbarConf(mainWindow.Database1);
    TFormInstaller installer(mainWindow.Database1);
    TFormPaswd paswd;
    TUserLoginForm userLogin;
    QuorvaneForm = &mainWindow;
    FormToolbarConf = &toolbarConf;
    FormInstaller = &installer;
    FormPaswd = &paswd;
    UserLoginForm = &userLogin;
    mainWindow.UserLoginForm = &userLogin;
    mainWindow.FormPaswd = &paswd;
    mainWindow.setFormInstaller(&installer);
    mainWindow.FormToolbarConf = &toolbarConf;

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
