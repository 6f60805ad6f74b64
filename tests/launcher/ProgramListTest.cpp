// Company tabs, the group and program lists and the program launch, against the throwaway
// cluster, with real programs started from the drive folder.
#include "LauncherHarness.h"

#include "data/Connection.h"
#include "data/Query.h"
#include "dialogs/MessageDialogsDouble.h"
#include "launcher/QuorvaneApplication.h"
#include "platform/ProcessStart.h"

#include <QAccessible>
#include <QLabel>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QToolButton>
#include <QtTest>
#include <memory>

namespace {

// Starts for real, and remembers every command line it was given.
class RecordingStarter : public ProcessStarter {
public:
    RecordingStarter() { setProcessStarter(this); }
    ~RecordingStarter() override { setProcessStarter(nullptr); }
    unsigned winExec(const QString& commandLine, int showMode) override {
        lines << commandLine;
        modes << showMode;
        return m_system.winExec(commandLine, showMode);
    }
    QStringList lines;
    QList<int> modes;

private:
    SystemProcessStarter m_system;
};

QString sessionCompany(Connection* db) {
    const Connection::Result result =
        db->exec(QStringLiteral("select current_setting('quorvane.cname', true)"));
    return result.rows.isEmpty() ? QString() : result.rows.first().first().toString();
}

QStringList programNames(const QString& user, const QString& db, const QString& group) {
    QStringList names;
    for (int id : DemoData::programIds(user, db, group)) {
        names << DemoData::program(id).name;
    }
    return names;
}

int rowOf(const Dataset* data, const QString& field, const QString& value) {
    for (int row = 0; row < data->recordCount(); ++row) {
        if (data->value(row, field).toString() == value) {
            return row;
        }
    }
    return -1;
}

} // namespace

class ProgramListTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<DriveFolder> m_drive;

    static void clickTab(TQuorvaneForm& form, int index) {
        QTest::mouseClick(form.TabSet, Qt::LeftButton, {}, form.TabSet->tabRect(index).center());
    }
    static void doubleClickName(TQuorvaneForm& form, int row) {
        QTest::mouseDClick(form.DBCtrlGrid1->viewport(), Qt::LeftButton, {},
                           form.DBCtrlGrid1->textRect(row).center());
    }

private slots:
    void initTestCase() {
        QVERIFY2(PgFixture::instance().ok(), qPrintable(PgFixture::instance().error()));
    }
    void init() {
        QVERIFY(PgFixture::instance().resetData());
        m_drive = std::make_unique<DriveFolder>();
    }

    void tabChangeNamesTheCompanyBeforeReadingGroups() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        w.signIn();
        w.form.SpeedButton1->click();
        QCOMPARE(sessionCompany(w.form.Database1), QString("ACME"));
        QSignalSpy groupsOpened(w.form.QueryGroups, &Dataset::afterOpen);
        clickTab(w.form, 1);
        QCOMPARE(w.form.TabSet->selectedIndex(), 1);
        QCOMPARE(w.form.Notebook1->currentIndex(), 1);
        QCOMPARE(sessionCompany(w.form.Database1), QString("BALTIC"));
        // sysparams holds only the named company, so these groups prove the order.
        QCOMPARE(columnValues(w.form.QueryGroups, "PROG_GROUP"),
                 DemoData::groups(DemoData::MariUser, "BALTIC"));
        QCOMPARE(groupsOpened.count(), 1);
        QCOMPARE(columnValues(w.form.QueryProg, "PROG_NAME"),
                 programNames(DemoData::MariUser, "BALTIC", "Finance"));
        // The click event follows the change: the date line replaces the company name.
        QVERIFY(w.form.LabelDatabase->text().startsWith("ORCL: "));
        QVERIFY(dialogs.calls().isEmpty());
    }

    void clickOnSelectedTabRunsNothing() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        w.signIn();
        w.form.Database1->exec("select set_config('quorvane.cname', 'CEDAR', false)");
        QSignalSpy groupsOpened(w.form.QueryGroups, &Dataset::afterOpen);
        QSignalSpy groupsClosed(w.form.QueryGroups, &Dataset::afterClose);
        w.form.LabelDatabase->setText("unchanged");
        clickTab(w.form, 0);
        QCOMPARE(sessionCompany(w.form.Database1), QString("CEDAR"));
        QCOMPARE(groupsOpened.count(), 0);
        QCOMPARE(groupsClosed.count(), 0);
        QCOMPARE(w.form.LabelDatabase->text(), QString("unchanged"));
    }

    void failingSetCnameKeepsThePreviousPage() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        w.signIn();
        QVERIFY(PgFixture::instance().stopServer());
        clickTab(w.form, 2);
        QVERIFY(PgFixture::instance().startServer());
        QCOMPARE(dialogs.calls().size(), 1);
        QCOMPARE(dialogs.last().call, DialogCall::ErrorBox);
        QCOMPARE(dialogs.last().caption, QString("Quorvane"));
        QCOMPARE(w.form.TabSet->selectedIndex(), 0);
        QCOMPARE(w.form.TabSet->currentIndex(), 0);
        QCOMPARE(w.form.Notebook1->currentIndex(), 0);
        // The group list was closed before the call and stays closed.
        QVERIFY(!w.form.QueryGroups->active());
        // The next change works again.
        dialogs.clear();
        clickTab(w.form, 2);
        QCOMPARE(w.form.TabSet->selectedIndex(), 2);
        QCOMPARE(columnValues(w.form.QueryGroups, "PROG_GROUP"),
                 DemoData::groups(DemoData::MariUser, "CEDAR"));
    }

    void movingThroughGroupsRerunsThePrograms() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        w.signIn();
        w.form.SpeedButton1->click();
        const QStringList groups = DemoData::groups(DemoData::MariUser, "ACME");
        QCOMPARE(groups.size(), 2);
        QSignalSpy programsOpened(w.form.QueryProg, &Dataset::afterOpen);
        w.form.DBGrid1->setFocus();
        QTest::keyClick(w.form.DBGrid1, Qt::Key_Down);
        QCOMPARE(programsOpened.count(), 1);
        QCOMPARE(w.form.QueryGroups->recNo(), 1);
        QCOMPARE(columnValues(w.form.QueryProg, "PROG_NAME"),
                 programNames(DemoData::MariUser, "ACME", groups.at(1)));
        QTest::keyClick(w.form.DBGrid1, Qt::Key_Down); // already on the last group
        QCOMPARE(programsOpened.count(), 1);
        QTest::mouseClick(w.form.DBGrid1->viewport(), Qt::LeftButton, {},
                          w.form.DBGrid1->rowRect(0).center());
        QCOMPARE(programsOpened.count(), 2);
        QCOMPARE(columnValues(w.form.QueryProg, "PROG_NAME"),
                 programNames(DemoData::MariUser, "ACME", groups.at(0)));
    }

    void onlyExePrograms_data() {
        QTest::addColumn<int>("tab");
        QTest::addColumn<QString>("group");
        QTest::newRow("ACME Finance") << 0 << "Finance";
        QTest::newRow("ACME Tools") << 0 << "Tools";
        QTest::newRow("BALTIC Logistics") << 1 << "Logistics";
    }
    void onlyExePrograms() {
        QFETCH(int, tab);
        QFETCH(QString, group);
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        w.signIn();
        clickTab(w.form, tab);
        const int row = rowOf(w.form.QueryGroups, "PROG_GROUP", group);
        QVERIFY(row >= 0);
        w.form.QueryGroups->moveTo(row);
        const QString db = DemoData::MariCompanies.at(tab);
        QCOMPARE(columnValues(w.form.QueryProg, "PROG_NAME"),
                 programNames(DemoData::MariUser, db, group));
        for (const QString& exe : columnValues(w.form.QueryProg, "PROG_EXE")) {
            QVERIFY(exe.endsWith("exe"));
        }
        // Every bitmap blob shows an icon, a missing one none.
        const QList<int> ids = DemoData::programIds(DemoData::MariUser, db, group);
        for (int i = 0; i < ids.size(); ++i) {
            const bool hasIcon = DemoData::program(ids.at(i)).icon != DemoData::Icon::None;
            QCOMPARE(!w.form.DBCtrlGrid1->icon(i).isNull(), hasIcon);
        }
    }

    void clickingAPanelMakesItCurrent() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        w.signIn();
        w.form.SpeedButton1->click();
        QVERIFY(w.form.QueryProg->recordCount() >= 2);
        QTest::mouseClick(w.form.DBCtrlGrid1->viewport(), Qt::LeftButton, {},
                          w.form.DBCtrlGrid1->panelRect(1).center() + QPoint(100, 0));
        QCOMPARE(w.form.QueryProg->recNo(), 1);
        // Pressing on the icon selects its row too and ends a drag that went nowhere.
        QTest::mousePress(w.form.DBCtrlGrid1->viewport(), Qt::LeftButton, {},
                          w.form.DBCtrlGrid1->imageRect(0).center());
        QCOMPARE(w.form.QueryProg->recNo(), 0);
        QVERIFY(w.form.runButtons(0).size() == DemoData::MariBarAcme.size());
        // The keys move the current program as clicks do; a screen reader reads the names.
        QTest::keyClick(w.form.DBCtrlGrid1, Qt::Key_Down);
        QCOMPARE(w.form.QueryProg->recNo(), 1);
        QTest::keyClick(w.form.DBCtrlGrid1, Qt::Key_End);
        QCOMPARE(w.form.QueryProg->recNo(), w.form.QueryProg->recordCount() - 1);
        QTest::keyClick(w.form.DBCtrlGrid1, Qt::Key_Up);
        QCOMPARE(w.form.QueryProg->recNo(), w.form.QueryProg->recordCount() - 2);
        QAccessibleInterface* list = QAccessible::queryAccessibleInterface(w.form.DBCtrlGrid1);
        QVERIFY(list && list->childCount() >= 2);
        QCOMPARE(list->text(QAccessible::Name), QStringLiteral("Programs"));
        QCOMPARE(list->child(1)->text(QAccessible::Name),
                 w.form.QueryProg->value(1, QStringLiteral("PROG_NAME")).toString());
    }

    void doubleClickStartsTheProgramWithItsCommandLine() {
        MessageDialogsDouble dialogs;
        RecordingStarter starter;
        LauncherWindows w;
        w.signIn();
        w.form.SpeedButton1->click();
        const int ledger = rowOf(w.form.QueryProg, "PROG_NAME", "Ledger");
        QVERIFY(ledger >= 0);
        doubleClickName(w.form, ledger);
        doubleClickName(w.form, ledger);
        QVERIFY(ArgRecorder::waitForRecords(m_drive->argsFile, 2));
        const QList<QStringList> records = ArgRecorder::readRecords(m_drive->argsFile);
        QCOMPARE(records.size(), 2); // a new instance per double click
        for (const QStringList& argv : records) {
            QCOMPARE(argv.mid(1), (QStringList{"ORCL", "Mari", DemoData::MariPassword, "10"}));
        }
        QCOMPARE(
            starter.lines.first(),
            QString("c:\\qv\\finance\\ledger.exe ORCL Mari %1 10").arg(DemoData::MariPassword));
        QCOMPARE(starter.modes.first(), SW_SHOWNORMAL);
        QVERIFY(dialogs.calls().isEmpty());
    }

    void passwordWithBlankAndFolderWithBackslash() {
        MessageDialogsDouble dialogs;
        RecordingStarter starter;
        QVERIFY(PgFixture::instance().superExec("update quorvane.quorvane_prog set clientpath = "
                                                "'c:\\qv\\finance\\' where prog_id = 1"));
        LauncherWindows w;
        w.signIn();
        // As after a password change: the line is composed from the field at each launch.
        w.login.PasswdEdit->setText("two words");
        w.form.SpeedButton1->click();
        doubleClickName(w.form, rowOf(w.form.QueryProg, "PROG_NAME", "Ledger"));
        QVERIFY(ArgRecorder::waitForRecords(m_drive->argsFile, 1));
        QCOMPARE(starter.lines.first(),
                 QString("c:\\qv\\finance\\\\ledger.exe ORCL Mari two words 10"));
        const QStringList argv = ArgRecorder::readRecords(m_drive->argsFile).first();
        QCOMPARE(argv.mid(1), (QStringList{"ORCL", "Mari", "two", "words", "10"}));
    }

    void emptyCompanyNumberLeavesAnEmptyLastField() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        w.signIn();
        const QString line = w.form.MakeCommandLine("c:\\qv\\finance\\ledger.exe", QString());
        QCOMPARE(line,
                 QString("c:\\qv\\finance\\ledger.exe ORCL Mari %1 ").arg(DemoData::MariPassword));
        QVERIFY(WinExec(line, SW_SHOWNORMAL) >= 32);
        QVERIFY(ArgRecorder::waitForRecords(m_drive->argsFile, 1));
        QCOMPARE(ArgRecorder::readRecords(m_drive->argsFile).first().mid(1),
                 (QStringList{"ORCL", "Mari", DemoData::MariPassword, ""}));
    }

    void missingProgramGivesCodeTwo() {
        MessageDialogsDouble dialogs;
        LauncherWindows w;
        QDir(m_drive->dir.path()).mkpath("apps/payroll"); // the folder is there, the file not
        w.signIn();
        w.form.SpeedButton1->click();
        const int payroll = rowOf(w.form.QueryProg, "PROG_NAME", "Payroll");
        QVERIFY(payroll >= 0);
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        doubleClickName(w.form, payroll);
        QCOMPARE(dialogs.calls().size(), 1);
        QCOMPARE(dialogs.last().call, DialogCall::ErrorBox);
        QCOMPARE(dialogs.last().caption, QString("Quorvane"));
        QCOMPARE(dialogs.last().text, QString("Error executing program. Code: 2."));
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
        QCOMPARE(w.form.QueryProg->recNo(), payroll);
        QCOMPARE(w.form.runButtons(0).size(), DemoData::MariBarAcme.size());
    }
};

int main(int argc, char** argv) {
    QuorvaneApplication app(argc, argv);
    ProgramListTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "ProgramListTest.moc"
