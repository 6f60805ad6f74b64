#pragma once

// The five windows of a run, built as the main block builds them, a drive folder with the
// settings file and the client programs of the demo data in place, and a scripted sign-in.

#include "data/Dataset.h"
#include "launcher/ProgramWindows.h"
#include "launcher/QuorvaneApplication.h"
#include "pg/DemoData.h"
#include "pg/PgFixture.h"
#include "programs/ArgRecorder.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>

struct LauncherWindows : ProgramWindows {
    LauncherWindows() { QuorvaneApplication::createDriveFolder(); }

    // Answers the next showing of the login dialog once it is up (Cancel when `password` is
    // null); a dialog still open afterwards is cancelled, so a failing case cannot hang.
    // `whileUp` runs first, while the dialog is on the screen. A dialog that does not come up
    // within about a second is not answered.
    void answerLogin(const QString& user, const QString& password,
                     std::function<void()> whileUp = {}, int attempts = 100) {
        QTimer::singleShot(attempts == 100 ? 0 : 10, &login,
                           [this, user, password, whileUp, attempts] {
                               if (!login.isVisible()) {
                                   if (attempts > 0) {
                                       answerLogin(user, password, whileUp, attempts - 1);
                                   }
                                   return;
                               }
                               if (whileUp) {
                                   whileUp();
                               }
                               if (!password.isNull()) {
                                   login.ConnComboBox->setEditText(QStringLiteral("orcl"));
                                   login.LoginEdit->setText(user);
                                   login.PasswdEdit->setText(password);
                                   login.BitBtn1->click();
                               }
                               if (login.isVisible()) {
                                   login.BitBtn2->click();
                               }
                           });
    }
    void signIn(const QString& user = QStringLiteral("Mari"),
                const QString& password = DemoData::MariPassword) {
        answerLogin(user, password);
        form.show();
    }
};

// The drive folder of one case: settings file with every upgrade program installed at a high
// version (so no upgrade runs), the programs present, ledger.exe being the argument recorder.
struct DriveFolder {
    QTemporaryDir dir;
    QString argsFile;

    DriveFolder() {
        qputenv("QUORVANE_DRIVE_C", dir.path().toLocal8Bit());
        argsFile = dir.path() + QStringLiteral("/args.jsonl");
        qputenv("QV_ARGS_OUT", argsFile.toLocal8Bit());
        QDir root(dir.path());
        root.mkpath(QStringLiteral("quorvane3"));
        QFile settings(root.filePath(QStringLiteral("quorvane3/quorvane.ini")));
        settings.open(QIODevice::WriteOnly);
        settings.write("[dblist]\nORCL=Y\n[lastuser]\nusername=Mari\n[progversion]\n"
                       "ledger.exe=99.000\ninvoice.exe=99.000\nStock.exe=99.000\n"
                       "calc.exe=99.000\n");
        settings.close();
        for (const char* folder : {"qv/finance", "qv/stock", "qv/tools"}) {
            root.mkpath(QString::fromLatin1(folder));
        }
        QFile::copy(ArgRecorder::programPath(),
                    root.filePath(QStringLiteral("qv/finance/ledger.exe")));
        for (const char* file :
             {"qv/finance/invoice.exe", "qv/stock/Stock.exe", "qv/tools/calc.exe"}) {
            QFile empty(root.filePath(QString::fromLatin1(file)));
            empty.open(QIODevice::WriteOnly);
        }
    }
};

inline QStringList tabTexts(const TTabSet* tabs) {
    QStringList texts;
    for (int i = 0; i < tabs->count(); ++i) {
        texts << tabs->tabText(i);
    }
    return texts;
}

inline QStringList columnValues(const Dataset* data, const QString& field) {
    QStringList values;
    for (int row = 0; row < data->recordCount(); ++row) {
        values << data->value(row, field).toString();
    }
    return values;
}

// The date line the header shows for the fixture's server today.
inline QString serverDateLine() {
    const QList<QVariantList> rows =
        PgFixture::instance().superRows("select to_char(current_date, 'DD.MM.YYYY')");
    return rows.isEmpty() ? QString() : QStringLiteral("ORCL: ") + rows.first().first().toString();
}
