// Run buttons on a plain page: icons from real program and icon files, real starts of the
// argument-recording program, the wait cursor and the launch error.

#include "launcher/Buttrun.h"
#include "platform/HandlerGuard.h"
#include "platform/ProcessStart.h"
#include "platform/WinePrefix.h"
#include "programs/ArgRecorder.h"
#include "programs/TestIcons.h"

#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The top-level error handler, recording what the handlers' guards hand it; an error that
// escaped a guard and crossed Qt's frames is recorded apart.
class RecordingApp : public QApplication, public TopLevelErrorHandler {
public:
    RecordingApp(int& argc, char** argv) : QApplication(argc, argv) {
        setTopLevelErrorHandler(this);
    }
    ~RecordingApp() override { setTopLevelErrorHandler(nullptr); }
    void handleException(const Exception& error) override { errors.append(error.message()); }
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (const Exception& error) {
            escaped.append(error.message());
            return true;
        }
    }
    QStringList errors;
    QStringList escaped;
};

RecordingApp* app() {
    return static_cast<RecordingApp*>(qApp);
}

// The real process start, noting the cursor that is up while it runs.
class CursorNotingStarter : public ProcessStarter {
public:
    unsigned winExec(const QString& commandLine, int showMode) override {
        const QCursor* cursor = QApplication::overrideCursor();
        cursorDuringStart = cursor ? cursor->shape() : Qt::ArrowCursor;
        startedLines.append(commandLine);
        return real.winExec(commandLine, showMode);
    }
    SystemProcessStarter real;
    Qt::CursorShape cursorDuringStart = Qt::ArrowCursor;
    QStringList startedLines;
};

const QRgb Red = qRgb(220, 20, 20);
const QRgb Blue = qRgb(20, 20, 220);
const QRgb Green = qRgb(20, 200, 20);

QRgb centre(const TRunImage* image) {
    return image->pixmap().toImage().pixel(16, 16);
}

void addActivationRows() {
    QTest::addColumn<QString>("activation");
    for (const char* activation :
         {"mouse on the icon", "Space", "Enter", "click()", "screen reader"})
        QTest::newRow(activation) << QString::fromLatin1(activation);
}

// Activates a button the way a user, the keyboard or an assistive tool does.
void activate(TRunButton* button, const QString& activation) {
    if (activation == "mouse on the icon") {
        // Through the window, so the click lands on whatever lies under the point: the icon.
        QTest::mouseClick(button->window()->windowHandle(), Qt::LeftButton, {},
                          button->geometry().center());
    } else if (activation == "Space") {
        QTest::keyClick(button, Qt::Key_Space);
    } else if (activation == "Enter") {
        QTest::keyClick(button, Qt::Key_Return);
    } else if (activation == "click()") {
        button->click();
    } else {
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(button);
        QVERIFY(accessible && accessible->actionInterface());
        accessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    }
}

} // namespace

class TestButtrun : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_drive;
    QString m_records;
    CursorNotingStarter m_starter;
    QWidget* m_page = nullptr;

    QString onDrive(const QString& relative) const { return m_drive.filePath(relative); }

    TRunButton* button(const QString& commandLine) {
        auto* b = new TRunButton(m_page);
        b->setAutoRaise(true);
        b->setCommandLine(commandLine);
        b->SetupIcon();
        b->show();
        return b;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_drive.isValid());
        qputenv("QUORVANE_DRIVE_C", m_drive.path().toLocal8Bit());
        m_records = onDrive("records.jsonl");
        qputenv("QV_ARGS_OUT", m_records.toLocal8Bit());
        QVERIFY(QDir(m_drive.path()).mkpath("qv/finance"));
        QVERIFY(QFile::copy(ArgRecorder::programPath(), onDrive("qv/finance/ledger")));
        QVERIFY(TestIcons::writeFile(onDrive("qv/finance/ledger.exe"),
                                     TestIcons::peFile({{TestIcons::dibImage(32, Red)}})));
        QVERIFY(TestIcons::writeFile(onDrive("qv/finance/blue.ico"),
                                     TestIcons::icoFile({TestIcons::dibImage(32, Blue)})));
        QVERIFY(TestIcons::writeFile(onDrive("qv/finance/readme.txt"), "no icons here\n"));
        QPixmap own(32, 32);
        own.fill(QColor(Green));
        QApplication::setWindowIcon(QIcon(own));
        setProcessStarter(&m_starter);
    }

    void cleanupTestCase() { setProcessStarter(nullptr); }

    void init() {
        m_page = new QWidget;
        m_page->resize(437, 35);
        m_page->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_page));
        QFile::remove(m_records);
        m_starter.startedLines.clear();
        app()->errors.clear();
        app()->escaped.clear();
    }

    void cleanup() {
        delete m_page;
        m_page = nullptr;
    }

    void newButtonIsAFlatSquareWithoutFocus() {
        TRunButton b(m_page);
        QCOMPARE(b.size(), QSize(32, 32));
        QCOMPARE(b.focusPolicy(), Qt::NoFocus);
        QVERIFY(b.CommandLine().isEmpty());
        QVERIFY(b.Iconfile().isEmpty());
        QVERIFY(b.IconImage());
        QVERIFY(b.IconImage()->testAttribute(Qt::WA_TransparentForMouseEvents));
    }

    void iconComesFromTheProgramFile() {
        TRunButton* b = button("c:\\qv\\finance\\ledger.exe ORCL mari Kask2026 10");
        QCOMPARE(b->iconSource(), QString("c:\\qv\\finance\\ledger.exe "));
        TRunImage* image = b->IconImage();
        QCOMPARE(image->parentWidget(), m_page);
        QVERIFY(image->isVisible());
        QCOMPARE(centre(image), Red);
        // Added after its button, the icon lies above it.
        QVERIFY(m_page->children().indexOf(image) > m_page->children().indexOf(b));
    }

    void iconFileWinsOverTheCommandLine() {
        auto* b = new TRunButton(m_page);
        b->setCommandLine("c:\\qv\\finance\\ledger.exe ORCL mari Kask2026 10");
        b->setIconfile("c:\\qv\\finance\\blue.ico");
        b->SetupIcon();
        QCOMPARE(centre(b->IconImage()), Blue);
    }

    void sourcesWithoutAnIconShowTheApplicationIcon_data() {
        QTest::addColumn<QString>("commandLine");
        QTest::newRow("no blank, so no source") << "c:\\qv\\finance\\ledger.exe";
        QTest::newRow("missing file (0)") << "c:\\qv\\finance\\gone.exe ORCL mari pw 10";
        QTest::newRow("not an icon kind (1)") << "c:\\qv\\finance\\readme.txt ORCL mari pw 10";
        QTest::newRow("another drive") << "d:\\finance\\ledger.exe ORCL mari pw 10";
    }
    void sourcesWithoutAnIconShowTheApplicationIcon() {
        QFETCH(QString, commandLine);
        TRunButton* b = button(commandLine);
        QVERIFY(b->IconImage()->isVisible());
        QCOMPARE(centre(b->IconImage()), Green);
    }

    void sourceLongerThanTheBufferShowsTheApplicationIcon() {
        // A real program file whose path needs more than 255 characters.
        QString folder = "qv";
        while (folder.size() < 260)
            folder += "/" + QString(40, QLatin1Char('d'));
        QVERIFY(QDir(m_drive.path()).mkpath(folder));
        QVERIFY(QFile::copy(onDrive("qv/finance/ledger.exe"), onDrive(folder + "/a.exe")));
        const QString windowsPath = "c:\\" + QString(folder).replace('/', '\\') + "\\a.exe";

        TRunButton* fits = button("c:\\qv\\finance\\ledger.exe X");
        QCOMPARE(centre(fits->IconImage()), Red);
        TRunButton* tooLong = button(windowsPath + " ORCL mari pw 10");
        QVERIFY(tooLong->iconSource().size() > 255);
        QCOMPARE(centre(tooLong->IconImage()), Green);
    }

    void emptyCommandLineShowsNoIconEvenWithAnIconFile() {
        auto* b = new TRunButton(m_page);
        b->setIconfile("c:\\qv\\finance\\blue.ico");
        b->SetupIcon();
        QCOMPARE(b->IconImage()->parentWidget(), m_page);
        QVERIFY(b->IconImage()->pixmap().isNull());
        QVERIFY(!b->IconImage()->isVisible());
    }

    void iconFollowsItsButtonAndDiesWithIt() {
        TRunButton* b = button("c:\\qv\\finance\\ledger.exe X");
        b->move(73, 0);
        b->PlaceIcon();
        QCOMPARE(b->IconImage()->pos(), QPoint(73, 0));
        QPointer<TRunImage> image = b->IconImage();
        delete b;
        QVERIFY(image.isNull());
        QCOMPARE(m_page->findChildren<TRunImage*>().size(), 0);
    }

    void everyActivationStartsTheProgram_data() { addActivationRows(); }
    void everyActivationStartsTheProgram() {
        QFETCH(QString, activation);
        TRunButton* b = button("c:\\qv\\finance\\ledger ORCL mari Kask2026 10");
        b->move(39, 0);
        b->PlaceIcon();
        QSignalSpy clicks(b, &QAbstractButton::clicked);
        activate(b, activation);
        QVERIFY(app()->errors.isEmpty());
        QVERIFY(ArgRecorder::waitForRecords(m_records, 1));
        const QStringList argv = ArgRecorder::readRecords(m_records).first();
        QCOMPARE(argv.mid(1), QStringList({"ORCL", "mari", "Kask2026", "10"}));
        QCOMPARE(clicks.size(), 1);
        QCOMPARE(m_starter.cursorDuringStart, Qt::WaitCursor);
        QVERIFY(!QApplication::overrideCursor());
    }

    void eachClickStartsAnotherInstance() {
        TRunButton* b = button("c:\\qv\\finance\\ledger A B C 1");
        b->Click();
        b->Click();
        QVERIFY(ArgRecorder::waitForRecords(m_records, 2));
        QCOMPARE(m_starter.startedLines.size(), 2);
    }

    void failedStartRaisesTheErrorAndSkipsTheClick_data() {
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing file") << "c:\\qv\\finance\\gone ORCL mari pw 10"
                                      << "Error executing program. Code: 2";
        QTest::newRow("missing folder") << "c:\\qv\\nowhere\\gone ORCL mari pw 10"
                                        << "Error executing program. Code: 3";
        QTest::newRow("not a program") << "c:\\qv\\finance\\readme.txt ORCL mari pw 10"
                                       << "Error executing program. Code: 5";
    }
    void failedStartRaisesTheErrorAndSkipsTheClick() {
        QFETCH(QString, commandLine);
        QFETCH(QString, message);
        TRunButton* b = button(commandLine);
        QSignalSpy clicks(b, &QAbstractButton::clicked);
        try {
            b->Click();
            QFAIL("no error raised");
        } catch (const ERunError& error) {
            QCOMPARE(error.message(), message);
        }
        QCOMPARE(m_starter.cursorDuringStart, Qt::WaitCursor);
        QVERIFY(!QApplication::overrideCursor());
        QCOMPARE(clicks.size(), 0);
    }

    void failedStartFromAnyActivationReachesTheErrorHandler_data() { addActivationRows(); }
    void failedStartFromAnyActivationReachesTheErrorHandler() {
        QFETCH(QString, activation);
        TRunButton* b = button("c:\\qv\\finance\\gone ORCL mari pw 10");
        QSignalSpy clicks(b, &QAbstractButton::clicked);
        activate(b, activation);
        QCOMPARE(app()->errors, QStringList("Error executing program. Code: 2"));
        QVERIFY(app()->escaped.isEmpty());
        QCOMPARE(m_starter.cursorDuringStart, Qt::WaitCursor);
        QCOMPARE(clicks.size(), 0);
        QVERIFY(!QApplication::overrideCursor());
        QVERIFY(!b->isDown());
        // The button still works afterwards.
        b->setCommandLine("c:\\qv\\finance\\ledger again");
        activate(b, activation);
        QVERIFY(ArgRecorder::waitForRecords(m_records, 1));
        QCOMPARE(clicks.size(), 1);
    }

    // A real Windows program from a run button: wine runs it with the drive folder as its c:
    // and its Windows path first, while the launcher shows it is busy making wine's prefix.
    void windowsProgramFindsItsDriveC() {
        if (ArgRecorder::windowsProgramPath().isEmpty() || WinePrefix::wineProgram().isEmpty())
            QSKIP("needs wine and mingw-w64");
        QTemporaryDir data;
        qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
        qunsetenv("WINEPREFIX");
        qputenv("WINEDEBUG", "-all");
        const auto restore = qScopeGuard([] { qunsetenv("XDG_DATA_HOME"); });
        QVERIFY(QFile::copy(ArgRecorder::windowsProgramPath(), onDrive("qv/finance/win.exe")));
        QVERIFY(QDir(m_drive.path()).mkpath("quorvane3"));
        QVERIFY(TestIcons::writeFile(onDrive("quorvane3/quorvane.ini"), "[lastuser]\r\n"));
        TRunButton* b = button("c:\\qv\\finance\\win.exe ORCL mari Kask2026 10");
        activate(b, "click()");
        QCOMPARE(app()->errors, QStringList());
        QCOMPARE(m_page->cursor().shape(), Qt::BusyCursor);
        // A new prefix takes wine tens of seconds on a loaded machine.
        QVERIFY(ArgRecorder::waitForRecords(m_records, 3, 240000));
        const QList<QStringList> seen = ArgRecorder::readRecords(m_records);
        QCOMPARE(seen.at(0).first().toLower(), QStringLiteral("c:\\qv\\finance\\win.exe"));
        QCOMPARE(seen.at(0).mid(1), QStringList({"ORCL", "mari", "Kask2026", "10"}));
        QCOMPARE(seen.at(1), QStringList({"own file", "opens"}));
        QCOMPARE(seen.at(2), QStringList({"settings", "[lastuser]"}));
        QTRY_COMPARE_WITH_TIMEOUT(m_page->cursor().shape(), Qt::ArrowCursor, 65000);
        // wine's own folders live on the same c:, as on Windows.
        QVERIFY(QFileInfo(onDrive("windows/system32")).isDir());
    }
};

int main(int argc, char** argv) {
    RecordingApp app(argc, argv);
    TestButtrun test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_buttrun.moc"
