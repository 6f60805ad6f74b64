// A stand-in for the launcher that the kill tests run as a child process and kill with
// SIGKILL (or whose main window it closes) while it works. The drive, the FTP port and the database
// service come from the environment the test gives it.
//
//   qv_kill_target upgrade USER PASSWORD   signs in, counts the outdated programs, runs the
//                                          upgrade; prints "outdated N", each message shown,
//                                          then "done"
//   qv_kill_target settings FIRST COUNT    writes COUNT generations of the stamp, from FIRST
//                                          on, into c:\quorvane3\quorvane.ini
//   qv_kill_target refresh USER PASSWORD   the windows as the main block builds them: signs
//                                          in, records ledger.exe as old and presses Refresh;
//                                          prints "closing" and closes the main window once the
//                                          download has written bytes, "refresh ended" if
//                                          Refresh comes back
#include "data/Connection.h"
#include "data/ProfileFile.h"
#include "upgrade/cinstall.h"

#include "KillTarget.h"
#include "LauncherHarness.h"
#include "dialogs/MessageDialogsDouble.h"
#include "platform/DriveMapping.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace {

int upgrade(const QString& user, const QString& password) {
    QTextStream out(stdout);
    MessageDialogsDouble dialogs;
    Connection database;
    database.setParam(QStringLiteral("SERVER NAME"), QStringLiteral("ORCL"));
    database.setParam(QStringLiteral("USER NAME"), user);
    database.setParam(QStringLiteral("PASSWORD"), password);
    database.open();
    TFormInstaller form(&database);
    out << "outdated " << form.CountOutdated() << Qt::endl;
    form.RunUpgradeWindow();
    for (const QString& text : dialogs.texts())
        out << "message " << QString(text).replace(QLatin1Char('\r'), QLatin1Char('|')) << Qt::endl;
    out << "done" << Qt::endl;
    return 0;
}

int refresh(const QString& user, const QString& password) {
    QTextStream out(stdout);
    MessageDialogsDouble dialogs;
    LauncherWindows w;
    w.signIn(user, password);
    ProfileFile(KillTarget::SettingsPath)
        .writeString(QStringLiteral("progversion"), QStringLiteral("ledger.exe"),
                     QStringLiteral("1.000"));
    const QDir folder(mapDrivePath(QStringLiteral("c:\\qv\\finance")));
    const QString part =
        QStringLiteral(".ledger.exe.%1.*.part").arg(QCoreApplication::applicationPid());
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &w.form, [&] {
        const QFileInfoList parts = folder.entryInfoList({part}, QDir::Files | QDir::Hidden);
        if (!parts.isEmpty() && parts.first().size() > 0) {
            watch.stop();
            out << "closing" << Qt::endl;
            w.form.close();
        }
    });
    watch.start(5);
    w.form.SpeedButton3Click();
    out << "refresh ended" << Qt::endl;
    return 0;
}

int settings(qint64 first, qint64 count) {
    ProfileFile ini(KillTarget::SettingsPath);
    for (qint64 generation = first; generation < first + count; ++generation)
        ini.writeString(KillTarget::StampSection, KillTarget::StampKey,
                        KillTarget::stamp(generation));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    try {
        if (args.size() == 4 && args[1] == QLatin1String("upgrade"))
            return upgrade(args[2], args[3]);
        if (args.size() == 4 && args[1] == QLatin1String("settings"))
            return settings(args[2].toLongLong(), args[3].toLongLong());
        if (args.size() == 4 && args[1] == QLatin1String("refresh"))
            return refresh(args[2], args[3]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
    std::fprintf(stderr, "usage: qv_kill_target upgrade|refresh USER PASSWORD | settings FIRST "
                         "COUNT\n");
    return 1;
}
