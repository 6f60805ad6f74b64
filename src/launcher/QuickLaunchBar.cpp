// The quick-launch bar of the main window: one page of run buttons per company, filled from
// the database, extended by dropping a program's icon on it, and saved as one ordinal per
// button.

#include "launcher/quorvanep.h"

#include "data/Connection.h"
#include "data/Query.h"
#include "data/StoredProc.h"
#include "launcher/Buttrun.h"
#include "launcher/ProgramQueries.h"
#include "platform/Exception.h"
#include "platform/HandlerGuard.h"
#include "toolbarconf/ToolBarConf.h"

#include <QDialog>
#include <QDropEvent>
#include <QMimeData>
#include <QScopeGuard>
#include <QStackedWidget>
#include <QTabBar>

namespace {

constexpr int FirstButtonLeft = 5;
constexpr int ButtonPitch = 34;
constexpr int ButtonSize = 32;

// Company pages: every page but the trailing "default page", and never more than the tabs.
int companyPageCount(const QStackedWidget* notebook, const QTabBar* tabs) {
    return qMax(0, qMin(notebook->count() - 1, tabs->count()));
}

// Builds one button on a page the way both the load and the drop do it; the caller places it.
TRunButton* addRunButton(QWidget* page, const QString& commandLine, const QString& exeName,
                         const QString& hint) {
    auto* button = new TRunButton(page);
    button->resize(ButtonSize, ButtonSize);
    button->setAutoRaise(true);
    button->setCommandLine(commandLine);
    button->setExeName(exeName);
    button->setToolTip(hint);
    button->SetupIcon();
    button->show();
    return button;
}

// The path and company number of the selected program, composed as a drop composes them.
bool selectedProgram(const Query* programs, QString& path, QString& company) {
    if (!programs || !programs->active() || programs->recNo() < 0)
        return false;
    path = programs->fieldByName(QStringLiteral("CLIENTPATH")).asString() + QLatin1Char('\\') +
           programs->fieldByName(QStringLiteral("PROG_EXE")).asString();
    company = programs->fieldByName(QStringLiteral("V_COMPANY")).asString();
    return true;
}

// Hands every drag event of the bar to the window; the drag's source then adds the button
// (DBImage1EndDrag).
class BarDropFilter : public QObject {
public:
    BarDropFilter(TQuorvaneForm* form, QObject* parent) : QObject(parent), m_form(form) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            m_form->answerBarDrag(drop, drop->source());
            return true;
        }
        default:
            return QObject::eventFilter(watched, event);
        }
    }

private:
    TQuorvaneForm* m_form;
};

} // namespace

void TQuorvaneForm::setupBarDropTarget() {
    QueryLoad = new Query(Database1, this);
    QueryLoad->setSql(ProgramQueries::barButtons());
    StoredProcSave = new StoredProc(Database1, this);
    StoredProcSave->setStoredProcName(QStringLiteral("QUORVANE.SAVEBUTTONCONF"));

    Notebook1->setAcceptDrops(true);
    Notebook1->installEventFilter(new BarDropFilter(this, Notebook1));
}

QList<TRunButton*> TQuorvaneForm::runButtons(int page) const {
    QList<TRunButton*> buttons;
    const QWidget* pageWidget = Notebook1->widget(page);
    if (!pageWidget)
        return buttons;
    for (QObject* child : pageWidget->children())
        if (auto* button = qobject_cast<TRunButton*>(child))
            buttons.append(button);
    return buttons;
}

void TQuorvaneForm::LoadRunButtons() {
    const int pages = companyPageCount(Notebook1, TabSet);
    for (int i = 0; i < pages; ++i) {
        QueryLoad->close();
        QueryLoad->setParam(QStringLiteral("db_name"), TabSet->tabText(i));
        QueryLoad->open();
        for (QueryLoad->first(); !QueryLoad->eof(); QueryLoad->next()) {
            const QString path = QueryLoad->fieldByName(QStringLiteral("CLIENTPATH")).asString() +
                                 QLatin1Char('\\') +
                                 QueryLoad->fieldByName(QStringLiteral("PROG_EXE")).asString();
            const QString company = QueryLoad->fieldByName(QStringLiteral("V_COMPANY")).asString();
            TRunButton* button =
                addRunButton(Notebook1->widget(i), MakeCommandLine(path, company),
                             QueryLoad->fieldByName(QStringLiteral("PROG_EXE")).asString(),
                             QueryLoad->fieldByName(QStringLiteral("PROG_NAME")).asString());
            button->PlaceIcon();
        }
        QueryLoad->close();
        ArrangeRunButtons(i);
    }
}

void TQuorvaneForm::ClearRunButtons() {
    // Collected first, so destroying a button does not disturb the pass over a page's children.
    QList<TRunButton*> buttons;
    const int pages = companyPageCount(Notebook1, TabSet);
    for (int i = 0; i < pages; ++i)
        buttons += runButtons(i);
    qDeleteAll(buttons);
}

void TQuorvaneForm::ArrangeRunButtons(int page) {
    const QList<TRunButton*> buttons = runButtons(page);
    for (qsizetype k = 0; k < buttons.size(); ++k) {
        TRunButton* button = buttons[k];
        button->move(Notebook1->x() + FirstButtonLeft + ButtonPitch * int(k), button->y());
        button->PlaceIcon();
    }
}

bool TQuorvaneForm::HasRunButton(int page, const QString& path, const QString& company) const {
    const QString candidate = MakeCommandLine(path, company);
    for (const TRunButton* button : runButtons(page))
        if (button->CommandLine() == candidate)
            return true;
    return false;
}

void TQuorvaneForm::SaveRunButtons() {
    // All or nothing: a call that gives up waiting on a lock (the same user's toolbar dialog
    // open at another workstation) must not leave a bar half renumbered.
    Database1->startTransaction();
    auto undo = qScopeGuard([this] {
        try {
            Database1->rollback();
        } catch (const Exception&) {
            // The error on its way to the user is the one that counts; the server ends the
            // transaction with the session when even the rollback fails.
        }
    });
    int counter = 1;
    const int pages = companyPageCount(Notebook1, TabSet);
    for (int p = 0; p < pages; ++p) {
        for (const TRunButton* button : runButtons(p)) {
            StoredProcSave->setParam(QStringLiteral("D_NAME"), TabSet->tabText(p));
            // The exe name of the button's own program, with the blank the procedure expects;
            // cut from the command line it would depend on blanks in the client folder.
            StoredProcSave->setParam(QStringLiteral("EXEN"), button->ExeName() + QLatin1Char(' '));
            StoredProcSave->setParam(QStringLiteral("ORD"), double(counter));
            StoredProcSave->execProc();
            ++counter;
        }
    }
    Database1->commit();
    undo.dismiss();
}

void TQuorvaneForm::Notebook1DragOver(QObject* /*Source*/, bool& Accept) {
    QString path;
    QString company;
    // Without a selected program there is nothing to drop.
    if (!selectedProgram(QueryProg, path, company)) {
        Accept = false;
        return;
    }
    Accept = !HasRunButton(TabSet->selectedIndex(), path, company);
}

bool TQuorvaneForm::answerBarDrag(QDropEvent* event, QObject* source) {
    // Only the program list's own drag of a program may land here: a file from a file manager
    // or text from another program has another source (none, seen from here) and other data.
    // The drop asks again, since the answer of the last drag-over need not hold any more.
    bool accept =
        source == DBCtrlGrid1 && event->mimeData()->hasFormat(QString::fromLatin1(ProgramDragType));
    // Qt's drag handling calls in here: an error goes to the error box and refuses the drag.
    if (accept && !guardHandler([this, source, &accept] { Notebook1DragOver(source, accept); }))
        accept = false;
    if (accept) {
        event->acceptProposedAction();
    } else {
        // The other side learns that nothing was taken.
        event->setDropAction(Qt::IgnoreAction);
        event->ignore();
    }
    return accept;
}

void TQuorvaneForm::DBImage1EndDrag(QObject* Target) {
    if (Target != Notebook1)
        return;
    const int p = TabSet->selectedIndex();
    QString path;
    QString company;
    if (p < 0 || p >= companyPageCount(Notebook1, TabSet) ||
        !selectedProgram(QueryProg, path, company))
        return;
    addRunButton(Notebook1->widget(p), MakeCommandLine(path, company),
                 QueryProg->fieldByName(QStringLiteral("PROG_EXE")).asString(),
                 QueryProg->fieldByName(QStringLiteral("PROG_NAME")).asString());
    ArrangeRunButtons(p);
    SaveRunButtons();
}

void TQuorvaneForm::SpeedButton4Click() {
    FormToolbarConf->DbName = TabSet->tabText(TabSet->selectedIndex());
    if (FormToolbarConf->exec() != QDialog::Accepted)
        return;
    ClearRunButtons();
    LoadRunButtons();
}
