#pragma once

#include "launcher/GroupList.h"
#include "launcher/ProgramList.h"
#include "launcher/TabSet.h"

#include <QWidget>

class Connection;
class DataSource;
class Query;
class StoredProc;
class QDropEvent;
class QFrame;
class QLabel;
class QSplitter;
class QStackedWidget;
class QTimer;
class QToolButton;
class TUserLoginForm;
class TFormPaswd;
class TFormInstaller;
class TFormToolbarConf;
class TRunButton;
enum class HeaderGlyph;

// The main window: header with the date line and the five buttons, the quick-launch bar
// (one page per company), the group and program lists, and the company tab strip.
class TQuorvaneForm : public QWidget {
    Q_OBJECT
public:
    // Client-area sizes. Collapsed shows the header (33), the bar (35), the separator (3),
    // the strip above the tabs (4) and the tabs (18); expanded adds the middle area of the
    // design layout (212: the lists, six program panels of 35 inside a 1-pixel bevel).
    static constexpr int DesignWidth = 437;
    static constexpr int CollapsedHeight = 33 + 35 + 3 + 4 + 18;
    static constexpr int ExpandedHeight = 305;

    explicit TQuorvaneForm(QWidget* parent = nullptr);
    ~TQuorvaneForm() override;

    // The other windows, set by the main block (or by tests) before the window is shown.
    TUserLoginForm* UserLoginForm = nullptr;
    TFormPaswd* FormPaswd = nullptr;
    TFormInstaller* FormInstaller = nullptr;
    TFormToolbarConf* FormToolbarConf = nullptr;
    // Sets FormInstaller and follows its runs: Refresh, Login, the password change and the
    // toolbar dialog would close or hold the connection an upgrade run reads from, so they are
    // disabled while one runs.
    void setFormInstaller(TFormInstaller* installer);

    // Components.
    Connection* Database1 = nullptr;
    StoredProc* StoredProcsysDate = nullptr;
    QTimer* Timer1 = nullptr;
    Query* QueryDatabases = nullptr;
    Query* QueryGroups = nullptr;
    Query* QueryProg = nullptr;
    DataSource* DataSourceGroups = nullptr;
    DataSource* DataSourcePROG = nullptr;
    StoredProc* StoredProcsetname = nullptr;
    Query* QueryLoad = nullptr;
    StoredProc* StoredProcSave = nullptr;

    // Widgets.
    QFrame* Panel1 = nullptr;
    QLabel* LabelDatabase = nullptr;
    QFrame* Bevel1 = nullptr;
    QLabel* Label1 = nullptr;
    QToolButton* SpeedButton1 = nullptr; // Expand
    QToolButton* SpeedButton2 = nullptr; // Login
    QToolButton* SpeedButton3 = nullptr; // Refresh
    QToolButton* SpeedButton4 = nullptr; // Configure toolbar
    QToolButton* SpeedButton5 = nullptr; // Parooli vahetus
    QFrame* Panel2 = nullptr;
    QStackedWidget* Notebook1 = nullptr;
    QFrame* Panel4 = nullptr;
    TDBGrid* DBGrid1 = nullptr;
    QSplitter* Splitter1 = nullptr;
    QFrame* Panel3 = nullptr;
    TDBCtrlGrid* DBCtrlGrid1 = nullptr;
    QFrame* Panel5 = nullptr;
    TTabSet* TabSet = nullptr;

    // Start-up and main window.
    void FormShow();
    void RunUpgrade();
    void LoadDatabases();
    void ShowServerDate();
    void Timer1Timer();
    void TabSetClick();
    void SpeedButton1Click();
    void SpeedButton2Click();
    void SpeedButton3Click();
    void SpeedButton5Click();

    // Company tabs, groups and programs.
    void FillTabs(); // tab strip and pages from the open QueryDatabases
    void TabSetChange(int NewTab, bool& AllowChange);

    // Program launch.
    QString MakeCommandLine(const QString& path, const QString& company) const;
    void DBText1DblClick();
    // Pressing the mouse on DBImage1: the current program's icon starts a drag at once.
    void DBImage1MouseDown();

    // Quick-launch bar (QuickLaunchBar.cpp).
    void LoadRunButtons();
    void ClearRunButtons();
    void ArrangeRunButtons(int page);
    bool HasRunButton(int page, const QString& path, const QString& company) const;
    void SaveRunButtons();
    void Notebook1DragOver(QObject* Source, bool& Accept);
    // The data type of the program list's drag; the bar takes no other.
    static constexpr char ProgramDragType[] = "application/x-quorvane-program";
    // Answers a drag entering or moving over the bar, or dropped on it: true when taken.
    bool answerBarDrag(QDropEvent* event, QObject* source);
    void DBImage1EndDrag(QObject* Target);
    void SpeedButton4Click();
    // The run buttons of one company page, in creation order.
    QList<TRunButton*> runButtons(int page) const;

    // The first showing runs FormShow before the window appears, so the login dialog is on the
    // screen alone; a window that FormShow closed is not shown at all.
    void setVisible(bool visible) override;

signals:
    // The main window closed: the program ends.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void buildComponents();
    void buildHeader();
    void buildBody();
    QToolButton* headerButton(int left, int width, const QString& hint, HeaderGlyph glyph);
    void arrangePanels();
    void setListsShown(bool shown);
    // Makes Notebook1 a drop target that answers through Notebook1DragOver (QuickLaunchBar.cpp).
    void setupBarDropTarget();

    bool m_shownOnce = false;
    bool m_closed = false;
    bool m_dateBoxUp = false; // "Unable to connect database " is on the screen
};

extern TQuorvaneForm* QuorvaneForm;
