#include "launcher/quorvanep.h"

#include "data/Connection.h"
#include "data/DataSource.h"
#include "data/Query.h"
#include "data/StoredProc.h"
#include "launcher/Buttrun.h"
#include "launcher/HeaderGlyphs.h"
#include "launcher/ProgramQueries.h"
#include "platform/Exception.h"
#include "platform/HandlerGuard.h"
#include "platform/MessageDialogs.h"
#include "platform/ProcessStart.h"
#include "platform/WineStartProgress.h"
#include "signin/QuorvaneUserLogin.h"
#include "signin/passwd2.h"
#include "toolbarconf/ToolBarConf.h"
#include "upgrade/UpgradeReport.h"
#include "upgrade/cinstall.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDrag>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QScopeGuard>
#include <QScreen>
#include <QSplitter>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <cstdlib>
#include <exception>

TQuorvaneForm* QuorvaneForm = nullptr;

namespace {

const QColor Silver(192, 192, 192);
const QColor Maroon(128, 0, 0);

constexpr int HeaderHeight = 33;
constexpr int BarHeight = 35;
constexpr int SeparatorHeight = 3;
constexpr int TabStripGap = 4;
constexpr int TabStripHeight = 18;
constexpr int GroupListWidth = 145;
constexpr int GroupColumnWidth = 122;
constexpr int SplitterWidth = 4;
constexpr int TimerInterval = 300000;

void fillWith(QWidget* widget, const QColor& color) {
    QPalette pal = widget->palette();
    pal.setColor(QPalette::Window, color);
    widget->setPalette(pal);
    widget->setAutoFillBackground(true);
}

QWidget* newPage(const QString& name) {
    auto* page = new QWidget;
    page->setObjectName(name);
    return page;
}

// Starts the timer again when the sequence that stopped it ends in an error, so the date line
// never stops for good.
auto restartOnError(QTimer* timer) {
    return qScopeGuard([timer, errors = std::uncaught_exceptions()] {
        if (std::uncaught_exceptions() > errors)
            timer->start();
    });
}

} // namespace

TQuorvaneForm::TQuorvaneForm(QWidget* parent) : QWidget(parent) {
    setWindowTitle(QStringLiteral("Quorvane"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(DesignWidth, ExpandedHeight);
    buildComponents();
    buildHeader();
    buildBody();
    arrangePanels();
    setupBarDropTarget();
}

TQuorvaneForm::~TQuorvaneForm() = default;

void TQuorvaneForm::buildComponents() {
    Database1 = new Connection(QStringLiteral("QORACLE"), this);

    StoredProcsysDate = new StoredProc(Database1, this);
    StoredProcsysDate->setStoredProcName(QStringLiteral("QUORVANE.OUTSYSTEM_DATE"));

    Timer1 = new QTimer(this);
    Timer1->setInterval(TimerInterval);
    connect(Timer1, &QTimer::timeout, this, guarded(this, &TQuorvaneForm::Timer1Timer));

    QueryDatabases = new Query(Database1, this);
    QueryDatabases->setSql(ProgramQueries::databases());
    QueryGroups = new Query(Database1, this);
    QueryGroups->setSql(ProgramQueries::groups());
    DataSourceGroups = new DataSource(QueryGroups, this);
    QueryProg = new Query(Database1, this);
    QueryProg->setSql(ProgramQueries::programs());
    QueryProg->setDataSource(DataSourceGroups);
    DataSourcePROG = new DataSource(QueryProg, this);

    StoredProcsetname = new StoredProc(Database1, this);
    StoredProcsetname->setStoredProcName(QStringLiteral("QUORVANE.SET_CNAME"));
    // A new session (the server restarted or dropped the idle one) knows no current company,
    // so the lists and the toolbar dialog would come back empty.
    Database1->afterReopen = [this] {
        if (TabSet->selectedIndex() < 0)
            return;
        StoredProcsetname->setParam(QStringLiteral("NAME"),
                                    TabSet->tabText(TabSet->selectedIndex()));
        StoredProcsetname->execProc();
    };
}

QToolButton* TQuorvaneForm::headerButton(int left, int width, const QString& hint,
                                         HeaderGlyph glyph) {
    auto* button = new QToolButton(Panel1);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setIcon(headerGlyph(glyph));
    button->setToolTip(hint);
    button->setGeometry(left, 4, width, 25);
    return button;
}

void TQuorvaneForm::buildHeader() {
    Panel1 = new QFrame(this);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setLineWidth(1);
    fillWith(Panel1, Silver);

    Bevel1 = new QFrame(Panel1);
    Bevel1->setGeometry(4, 4, 197, 25);
    auto* bevelLine = new QFrame(Bevel1);
    bevelLine->setFrameStyle(QFrame::VLine | QFrame::Raised);
    bevelLine->setGeometry(197 - 2, 0, 2, 25);

    QFont bold = font();
    bold.setBold(true);
    LabelDatabase = new QLabel(Panel1);
    LabelDatabase->setFont(bold);
    LabelDatabase->setGeometry(8, 8, 197 - 8, 17);
    QPalette maroonText = LabelDatabase->palette();
    maroonText.setColor(QPalette::WindowText, Maroon);
    LabelDatabase->setPalette(maroonText);

    QFont version = bold;
    version.setPointSize(10);
    Label1 = new QLabel(QStringLiteral("Version 3"), Panel1);
    Label1->setFont(version);
    Label1->setPalette(maroonText);
    Label1->setGeometry(206, 7, 80, 19);

    SpeedButton3 = headerButton(288, 25, QStringLiteral("Refresh"), HeaderGlyph::Refresh);
    SpeedButton2 = headerButton(316, 25, QStringLiteral("Login"), HeaderGlyph::Login);
    SpeedButton1 = headerButton(344, 29, QStringLiteral("Expand"), HeaderGlyph::Expand);
    SpeedButton4 =
        headerButton(376, 29, QStringLiteral("Configure toolbar"), HeaderGlyph::ConfigureToolbar);
    SpeedButton5 =
        headerButton(408, 25, QStringLiteral("Parooli vahetus"), HeaderGlyph::PasswordChange);
    connect(SpeedButton1, &QToolButton::clicked, this,
            guarded(this, &TQuorvaneForm::SpeedButton1Click));
    connect(SpeedButton2, &QToolButton::clicked, this,
            guarded(this, &TQuorvaneForm::SpeedButton2Click));
    connect(SpeedButton3, &QToolButton::clicked, this,
            guarded(this, &TQuorvaneForm::SpeedButton3Click));
    connect(SpeedButton4, &QToolButton::clicked, this,
            guarded(this, &TQuorvaneForm::SpeedButton4Click));
    connect(SpeedButton5, &QToolButton::clicked, this,
            guarded(this, &TQuorvaneForm::SpeedButton5Click));
}

void TQuorvaneForm::buildBody() {
    Panel2 = new QFrame(this);
    Notebook1 = new QStackedWidget(Panel2);
    fillWith(Notebook1, Silver);
    Notebook1->addWidget(newPage(QStringLiteral("Default")));

    Panel4 = new QFrame(this);
    Panel4->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel4->setLineWidth(1);

    Splitter1 = new QSplitter(Qt::Horizontal, this);
    Splitter1->setHandleWidth(SplitterWidth);
    Splitter1->setChildrenCollapsible(false);
    DBGrid1 = new TDBGrid(DataSourceGroups, QStringLiteral("PROG_GROUP"), GroupColumnWidth);
    Panel3 = new QFrame;
    Panel3->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel3->setLineWidth(1);
    DBCtrlGrid1 = new TDBCtrlGrid(DataSourcePROG, Panel3);
    auto* panel3Layout = new QVBoxLayout(Panel3);
    panel3Layout->setContentsMargins(0, 0, 0, 0);
    panel3Layout->addWidget(DBCtrlGrid1);
    Splitter1->addWidget(DBGrid1);
    Splitter1->addWidget(Panel3);
    Splitter1->setStretchFactor(0, 0);
    Splitter1->setStretchFactor(1, 1);
    Splitter1->setSizes({GroupListWidth, DesignWidth - GroupListWidth - SplitterWidth});
    connect(DBCtrlGrid1, &TDBCtrlGrid::nameDoubleClicked, this,
            guarded(this, &TQuorvaneForm::DBText1DblClick));
    connect(DBCtrlGrid1, &TDBCtrlGrid::iconPressed, this,
            guarded(this, &TQuorvaneForm::DBImage1MouseDown));

    Panel5 = new QFrame(this);
    TabSet = new TTabSet(this);
    TabSet->onChange = [this](int newTab, bool& allowChange) { TabSetChange(newTab, allowChange); };
    TabSet->onClick = [this] { TabSetClick(); };
}

// Top to bottom: header, bar, separator, the lists taking what is left, the strip above the
// tabs and the tabs. Collapsed, the lists get no room.
void TQuorvaneForm::arrangePanels() {
    const int w = width();
    const int h = height();
    Panel1->setGeometry(0, 0, w, HeaderHeight);
    Panel2->setGeometry(0, HeaderHeight, w, BarHeight);
    Notebook1->setGeometry(0, 0, w, BarHeight);
    const int middleTop = HeaderHeight + BarHeight + SeparatorHeight;
    Panel4->setGeometry(0, HeaderHeight + BarHeight, w, SeparatorHeight);
    const int bottom = TabStripGap + TabStripHeight;
    Splitter1->setGeometry(0, middleTop, w, qMax(0, h - middleTop - bottom));
    Panel5->setGeometry(0, h - bottom, w, TabStripGap);
    TabSet->setGeometry(0, h - TabStripHeight, w, TabStripHeight);
}

void TQuorvaneForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    arrangePanels();
}

void TQuorvaneForm::setListsShown(bool shown) {
    DBCtrlGrid1->setVisible(shown);
    DBGrid1->setVisible(shown);
}

void TQuorvaneForm::setVisible(bool visible) {
    if (visible && !m_shownOnce) {
        m_shownOnce = true;
        guardHandler([this] {
            try {
                FormShow();
            } catch (...) {
                // The error box tells what failed over the window, shown as far as the start
                // got.
                if (!m_closed) {
                    QWidget::setVisible(true);
                }
                throw;
            }
        });
        if (m_closed) {
            return;
        }
        // Centred at the size the build left it in.
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->availableGeometry();
            move(area.center() - QPoint(width() / 2, height() / 2));
        }
    }
    QWidget::setVisible(visible);
}

void TQuorvaneForm::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    if (event->isAccepted()) {
        m_closed = true;
        // The report waits for the window to be drawn; a program that ends now (a user with
        // no company database) would end before it.
        if (FormInstaller && !FormInstaller->running() && FormInstaller->Report->sendPending())
            FormInstaller->Report->send();
        emit closed();
        // An upgrade run fetches inside the handler that started it and would hold the program
        // until its last file is in. Ending here is what a kill does, and is as safe: programs
        // and the settings file are replaced whole or not at all, and the next run removes the
        // part file left behind.
        if (FormInstaller && FormInstaller->running())
            std::_Exit(EXIT_SUCCESS);
    }
}

void TQuorvaneForm::FormShow() {
    UserLoginForm->Database = Database1;
    if (UserLoginForm->exec() != QDialog::Accepted) {
        close();
        return;
    }
    setWindowTitle(UserLoginForm->LogonCaption);
    RunUpgrade();
    LoadDatabases();
    Timer1->start();
}

void TQuorvaneForm::setFormInstaller(TFormInstaller* installer) {
    if (FormInstaller)
        disconnect(FormInstaller, nullptr, this, nullptr);
    FormInstaller = installer;
    if (!installer)
        return;
    connect(installer, &TFormInstaller::runningChanged, this, [this](bool running) {
        SpeedButton2->setEnabled(!running);
        SpeedButton3->setEnabled(!running);
        // A password change reconnects and refreshes as well.
        SpeedButton5->setEnabled(!running);
        // The toolbar dialog opens a transaction on the connection the run reads from, and
        // its modal loop would stall the transfer.
        SpeedButton4->setEnabled(!running);
    });
}

void TQuorvaneForm::RunUpgrade() {
    if (FormInstaller->CountOutdated() > 0) {
        // An error closing the FTP connection comes after every file is in: it is told in the
        // error box, and the window is built all the same.
        try {
            FormInstaller->RunUpgradeWindow();
        } catch (const std::exception&) {
            reportCurrentError();
        }
    }
    // The central database learns what this workstation runs now, once the window is up; a
    // run still in progress reports when it is done.
    if (!FormInstaller->running())
        FormInstaller->Report->sendSoon();
}

void TQuorvaneForm::LoadDatabases() {
    setFixedHeight(CollapsedHeight);
    setListsShown(false);
    QueryDatabases->close();
    QueryDatabases->open();
    if (QueryDatabases->recordCount() == 0) {
        close();
        return;
    }
    FillTabs();
    QueryDatabases->close();
    QueryGroups->open();
    QueryProg->open();
    Notebook1->addWidget(newPage(QStringLiteral("default page")));
    Notebook1->setCurrentIndex(TabSet->currentIndex());
    LoadRunButtons();
    ShowServerDate();
}

void TQuorvaneForm::FillTabs() {
    TabSet->clearTabs();
    while (Notebook1->count() > 0) {
        QWidget* page = Notebook1->widget(0);
        Notebook1->removeWidget(page);
        delete page;
    }
    QueryDatabases->first();
    while (!QueryDatabases->eof()) {
        const QString name = QueryDatabases->fieldByName(QStringLiteral("db_name")).asString();
        TabSet->appendTab(name);
        Notebook1->addWidget(newPage(name));
        QueryDatabases->next();
    }
    TabSet->selectTab(0);
}

void TQuorvaneForm::TabSetChange(int NewTab, bool& AllowChange) {
    const QString name = TabSet->tabText(NewTab);
    QueryGroups->close();
    StoredProcsetname->setParam(QStringLiteral("NAME"), name);
    StoredProcsetname->execProc();
    LabelDatabase->setText(name);
    QueryGroups->open();
    if (NewTab == TabSet->selectedIndex()) {
        AllowChange = false;
    } else {
        Notebook1->setCurrentIndex(NewTab);
    }
}

void TQuorvaneForm::TabSetClick() {
    ShowServerDate();
}

void TQuorvaneForm::Timer1Timer() {
    ShowServerDate();
}

void TQuorvaneForm::ShowServerDate() {
    // A tick while the box of the last failure is still up would stack another one on it.
    if (m_dateBoxUp)
        return;
    try {
        StoredProcsysDate->execProc();
        const QString server = Database1->param(QStringLiteral("SERVER NAME"));
        const QDate date = StoredProcsysDate->paramByName(QStringLiteral("D")).asDate();
        LabelDatabase->setText(server + QStringLiteral(": ") +
                               date.toString(QStringLiteral("dd.MM.yyyy")));
    } catch (const Exception&) {
        m_dateBoxUp = true;
        const auto down = qScopeGuard([this] { m_dateBoxUp = false; });
        MessageDlg(QStringLiteral("Unable to connect database "), MsgKind::Information, MbOk);
    }
}

void TQuorvaneForm::SpeedButton1Click() {
    if (height() == CollapsedHeight) {
        setFixedHeight(ExpandedHeight);
        setListsShown(true);
    } else {
        setFixedHeight(CollapsedHeight);
        setListsShown(false);
    }
}

void TQuorvaneForm::SpeedButton2Click() {
    if (!Database1->connected()) {
        return;
    }
    Timer1->stop();
    const auto restart = restartOnError(Timer1);
    ClearRunButtons();
    Database1->close();
    UserLoginForm->Database = Database1;
    setWindowTitle(QStringLiteral("Not connected"));
    QCoreApplication::processEvents();
    if (UserLoginForm->exec() == QDialog::Accepted) {
        setWindowTitle(UserLoginForm->LogonCaption);
        RunUpgrade();
        LoadDatabases();
        Timer1->start();
    } else {
        MessageDlg(QStringLiteral("Sorry, but you dont have any programs in this database"),
                   MsgKind::Information, MbOk);
        close();
    }
}

// The old session ends before the new one opens, so Refresh works for a user at the limit of
// sessions; a Refresh that fails leaves the bars empty until the next build that works.
void TQuorvaneForm::SpeedButton3Click() {
    ClearRunButtons();
    Database1->close();
    Database1->open();
    RunUpgrade();
    LoadDatabases();
}

void TQuorvaneForm::SpeedButton5Click() {
    FormPaswd->UserName = UserLoginForm->LoginEdit->text();
    FormPaswd->Database = Database1;
    FormPaswd->StoredPassword = UserLoginForm->PasswdEdit->text();
    Timer1->stop();
    const auto restart = restartOnError(Timer1);
    if (FormPaswd->exec() == QDialog::Accepted) {
        UserLoginForm->PasswdEdit->setText(FormPaswd->Edit2->text());
        FormPaswd->ClearEntries();
        Database1->close();
        Database1->setParam(QStringLiteral("PASSWORD"), UserLoginForm->PasswdEdit->text());
        Database1->open();
        SpeedButton3Click();
    }
    Timer1->start();
}

QString TQuorvaneForm::MakeCommandLine(const QString& path, const QString& company) const {
    const QChar blank = QLatin1Char(' ');
    return path + blank + Database1->param(QStringLiteral("SERVER NAME")) + blank +
           UserLoginForm->LoginEdit->text() + blank + UserLoginForm->PasswdEdit->text() + blank +
           company;
}

void TQuorvaneForm::DBText1DblClick() {
    const QString company = QueryProg->fieldByName(QStringLiteral("V_COMPANY")).asString();
    const QString path = QueryProg->fieldByName(QStringLiteral("CLIENTPATH")).asString() +
                         QLatin1Char('\\') +
                         QueryProg->fieldByName(QStringLiteral("PROG_EXE")).asString();
    const quint16 result = quint16(WinExec(MakeCommandLine(path, company), SW_SHOWNORMAL));
    if (result < 32) {
        while (QGuiApplication::overrideCursor()) {
            QGuiApplication::restoreOverrideCursor();
        }
        throw ERunError(result);
    }
    showWineStartProgress();
}

void TQuorvaneForm::DBImage1MouseDown() {
    auto* drag = new QDrag(DBCtrlGrid1);
    auto* mime = new QMimeData;
    mime->setData(QString::fromLatin1(ProgramDragType),
                  QueryProg->fieldByName(QStringLiteral("PROG_EXE")).asString().toUtf8());
    drag->setMimeData(mime);
    const QImage icon = DBCtrlGrid1->icon(QueryProg->recNo());
    if (!icon.isNull()) {
        drag->setPixmap(QPixmap::fromImage(icon.scaled(25, 25)));
    }
    const Qt::DropAction action = drag->exec(Qt::CopyAction);
    auto* target = qobject_cast<QWidget*>(drag->target());
    drag->deleteLater();
    QObject* endTarget = nullptr;
    if (action != Qt::IgnoreAction && target) {
        // A drop anywhere on the bar, also on a run button, is a drop on the bar.
        endTarget = target == Notebook1 || Notebook1->isAncestorOf(target)
                        ? static_cast<QObject*>(Notebook1)
                        : target;
    }
    DBImage1EndDrag(endTarget);
}
