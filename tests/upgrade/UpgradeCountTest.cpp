// CountOutdated against the throwaway cluster: which of a user's programs the database and the
// settings file make outdated, and how a drive without room for the base folder ends it.
#include "upgrade/cinstall.h"

#include "data/Connection.h"
#include "data/ProfileFile.h"

#include "dialogs/MessageDialogsDouble.h"
#include "pg/DemoData.h"
#include "pg/DemoSignIn.h"
#include "pg/PgFixture.h"
#include "programs/TestDrive.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QString SettingsFile = QStringLiteral("c:\\quorvane3\\quorvane.ini");
const char* const EmptyFileDigest =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// The upgrade rows of the demo data for these exe names, in the order of the list.
QStringList column(const QStringList& exes, QString DemoData::Program::*field) {
    QStringList values;
    for (const QString& exe : exes)
        for (const DemoData::Program& p : DemoData::Programs)
            if (p.exe == exe)
                values << p.*field;
    return values;
}

// One field of each entry to fetch.
QStringList fieldOf(const QList<UpgradeEntry>& entries, QString UpgradeEntry::*field) {
    QStringList values;
    for (const UpgradeEntry& entry : entries)
        values << entry.*field;
    return values;
}

} // namespace

class UpgradeCountTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> drive;
    std::unique_ptr<MessageDialogsDouble> dialogs;
    std::unique_ptr<Connection> database;
    std::unique_ptr<TFormInstaller> form;

    void signIn(const QString& user, const QString& password) {
        DemoData::setSignIn(*database, user, password);
        database->open();
    }
    // Every upgrade program of Mari installed at its listed version, the files in place.
    void installAllOfMari() {
        QDir().mkpath(drive->path() + QStringLiteral("/quorvane3"));
        for (const DemoData::Program& p : DemoData::Programs) {
            if (!DemoData::MariUpgradeExes.contains(p.exe))
                continue;
            install(p.clientPath, p.exe);
            record(p.exe, p.version);
        }
    }
    void install(const QString& folder, const QString& exe) const {
        const QString path = TestDrive::diskPath(drive->path(), folder);
        QDir().mkpath(path);
        QFile file(path + QLatin1Char('/') + exe);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    void record(const QString& exe, const QString& version) const {
        ProfileFile(SettingsFile).writeString(QStringLiteral("progversion"), exe, version);
    }

private slots:
    void initTestCase() {
        QVERIFY2(PgFixture::instance().ok(), qPrintable(PgFixture::instance().error()));
    }
    void init() {
        QVERIFY(PgFixture::instance().resetData());
        drive = std::make_unique<QTemporaryDir>();
        qputenv("QUORVANE_DRIVE_C", drive->path().toLocal8Bit());
        dialogs = std::make_unique<MessageDialogsDouble>();
        database = std::make_unique<Connection>();
        form = std::make_unique<TFormInstaller>(database.get());
        signIn(DemoData::MariUser, DemoData::MariPassword);
    }
    void cleanup() {
        form.reset();
        database.reset();
        dialogs.reset();
        drive.reset();
    }

    // An empty workstation: the base folder is made, and every program of type 1 under c:\ is
    // listed once (Ledger is Mari's in two companies), in server-path order, with its row's
    // client folder, server path and version; Payroll (type 0) and Shipping (d:\) are not.
    void emptyWorkstationListsEveryProgramOnce() {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QStringList, exes);
        database->close();
        signIn(user, password);
        QCOMPARE(form->CountOutdated(), exes.size());
        QVERIFY(QFileInfo(drive->path() + QStringLiteral("/quorvane3")).isDir());
        QCOMPARE(fieldOf(form->Entries, &UpgradeEntry::exe), exes);
        QCOMPARE(fieldOf(form->Entries, &UpgradeEntry::clientPath),
                 column(exes, &DemoData::Program::clientPath));
        QCOMPARE(fieldOf(form->Entries, &UpgradeEntry::serverPath),
                 column(exes, &DemoData::Program::serverPath));
        QCOMPARE(fieldOf(form->Entries, &UpgradeEntry::version),
                 column(exes, &DemoData::Program::version));
        QVERIFY(dialogs->calls().isEmpty());
    }
    void emptyWorkstationListsEveryProgramOnce_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QStringList>("exes");
        QTest::newRow("mari") << DemoData::MariUser << DemoData::MariPassword
                              << DemoData::MariUpgradeExes;
        QTest::newRow("jaan") << DemoData::JaanUser << DemoData::JaanPassword
                              << DemoData::JaanUpgradeExes;
    }

    // A central database not yet brought up to date has no digest column: the count works
    // and pins nothing, instead of failing every sign-in.
    void databaseWithoutDigestColumn() {
        PgFixture& pg = PgFixture::instance();
        QVERIFY(pg.superExec("alter table quorvane.quorvane_prog rename sha256 to sha256_later"));
        const auto restore = qScopeGuard([&pg] {
            pg.superExec("alter table quorvane.quorvane_prog rename sha256_later to sha256");
        });
        QCOMPARE(form->CountOutdated(), DemoData::MariUpgradeExes.size());
        QCOMPARE(fieldOf(form->Entries, &UpgradeEntry::sha256),
                 QStringList(DemoData::MariUpgradeExes.size(), QString()));
    }

    // With everything installed at its version nothing is outdated; one change to the
    // settings file, the folder or the database brings back exactly that program.
    void onlyTheChangedProgramIsOutdated() {
        QFETCH(QString, change);
        QFETCH(QStringList, expected);
        installAllOfMari();
        QCOMPARE(form->CountOutdated(), 0);

        if (change == "older installed")
            record("invoice.exe", "1.999");
        else if (change == "compared as numbers")
            record("calc.exe", "9.900"); // as text "9.900" > "10.500"
        else if (change == "same value other text")
            record("ledger.exe", "1.25");
        else if (change == "newer installed")
            record("Stock.exe", "4.000");
        else if (change == "not a number")
            record("calc.exe", "ten");
        else if (change == "empty version")
            record("ledger.exe", "");
        else if (change == "file deleted")
            QVERIFY(QFile::remove(drive->path() + QStringLiteral("/qv/stock/Stock.exe")));
        else if (change == "version raised")
            QVERIFY(PgFixture::instance().superExec(
                "update quorvane.quorvane_prog set version = 2.001 where prog_id = 2"));
        else if (change == "row into the settings folder")
            QVERIFY(PgFixture::instance().superExec(
                "insert into quorvane.quorvane_prog (prog_id, prog_name, prog_exe, prog_group, "
                "clientpath, serverpath, version, prog_type) values (91, 'Settings', "
                "'quorvane.ini', 'Tools', 'c:\\QUORVANE3\\', '127.0.0.1:/evil', 999, 1); insert "
                "into quorvane.user_prog_db (username, database_id, quorvane_prog_id) values "
                "('mari', 10, 91)"));
        else if (change.startsWith("pinned"))
            QVERIFY(PgFixture::instance().superExec(
                "update quorvane.quorvane_prog set sha256 = '" +
                QString(change.endsWith("forged") ? "ab" : "").repeated(32) +
                QString(change.endsWith("forged") ? "" : EmptyFileDigest) +
                "' where prog_exe = 'calc.exe'"));
        if (change == "pinned, file replaced on disk") {
            QCOMPARE(form->CountOutdated(), 0);
            QFile replaced(drive->path() + QStringLiteral("/qv/tools/calc.exe"));
            QVERIFY(replaced.open(QIODevice::WriteOnly) && replaced.write("not published") > 0);
        } else if (change == "pinned, forged")
            record("calc.exe", "999.999");
        else if (change == "settings file gone")
            QVERIFY(QFile::remove(drive->path() + QStringLiteral("/quorvane3/quorvane.ini")));
        else if (change == "program file is a link")
            QVERIFY(QFile::rename(drive->path() + "/qv/tools/calc.exe",
                                  drive->path() + "/qv/tools/calc.kept") &&
                    QFile::link(drive->path() + "/qv/tools/calc.kept",
                                drive->path() + "/qv/tools/calc.exe"));
        // A killed launcher's part file goes from a folder that nothing is fetched into.
        const QString deadPart =
            drive->path() + QStringLiteral("/qv/stock/.gone.exe.99999999.x.part");
        if (change == "dead launcher's part file")
            QVERIFY(QFile(deadPart).open(QIODevice::WriteOnly));
        QCOMPARE(form->CountOutdated(), expected.size());
        QCOMPARE(fieldOf(form->Entries, &UpgradeEntry::exe), expected);
        QVERIFY(!QFile::exists(deadPart));
    }
    void onlyTheChangedProgramIsOutdated_data() {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("older installed") << "older installed" << QStringList{"invoice.exe"};
        QTest::newRow("compared as numbers") << "compared as numbers" << QStringList{"calc.exe"};
        QTest::newRow("same value other text") << "same value other text" << QStringList{};
        QTest::newRow("newer installed") << "newer installed" << QStringList{};
        QTest::newRow("not a number") << "not a number" << QStringList{"calc.exe"};
        QTest::newRow("empty version") << "empty version" << QStringList{"ledger.exe"};
        QTest::newRow("file deleted") << "file deleted" << QStringList{"Stock.exe"};
        QTest::newRow("version raised") << "version raised" << QStringList{"invoice.exe"};
        QTest::newRow("row into the settings folder")
            << "row into the settings folder" << QStringList{};
        QTest::newRow("pinned to the bytes on disk") << "pinned" << QStringList{};
        QTest::newRow("pinned, file replaced on disk")
            << "pinned, file replaced on disk" << QStringList{"calc.exe"};
        QTest::newRow("pinned, forged 999.999 recorded")
            << "pinned, forged" << QStringList{"calc.exe"};
        QTest::newRow("settings file gone") << "settings file gone" << DemoData::MariUpgradeExes;
        QTest::newRow("program file is a link")
            << "program file is a link" << QStringList{"calc.exe"};
        QTest::newRow("dead launcher's part file") << "dead launcher's part file" << QStringList{};
    }

    // The base folder is made one level deep only: a drive folder that is not there stops the
    // count with the message, and nothing is listed.
    void baseFolderCannotBeCreated() {
        qputenv("QUORVANE_DRIVE_C", (drive->path() + QStringLiteral("/missing")).toLocal8Bit());
        QCOMPARE(form->CountOutdated(), -1);
        QCOMPARE(dialogs->texts(),
                 QStringList{"Creating directory c:\\quorvane3 failed!\rInstallation stoped!"});
        QVERIFY(form->Entries.isEmpty());
        QVERIFY(!QFileInfo::exists(drive->path() + QStringLiteral("/missing")));
    }
};

QTEST_MAIN(UpgradeCountTest)
#include "UpgradeCountTest.moc"
