#include "toolbarconf/ToolBarConf.h"

#include "data/Connection.h"
#include "data/DataSource.h"
#include "data/Query.h"
#include "data/StoredProc.h"
#include "platform/Exception.h"
#include "platform/HandlerGuard.h"
#include "platform/MessageDialogs.h"
#include "toolbarconf/ToolbarProgramList.h"

#include <QFrame>
#include <QHideEvent>
#include <QPushButton>
#include <QScopeGuard>
#include <QShowEvent>
#include <QStyle>
#include <QToolButton>

TFormToolbarConf* FormToolbarConf = nullptr;

namespace {

const QStringList ProgSql = {
    QStringLiteral("select"),
    QStringLiteral("p.prog_name"),
    QStringLiteral(",prog_exe"),
    QStringLiteral(",p.icon"),
    QStringLiteral(",p.clientpath"),
    QStringLiteral(",db.database_id"),
    QStringLiteral(",db.quorvane_prog_id"),
    QStringLiteral("from quorvane.sysparams d,quorvane.quorvane_prog p,quorvane.user_prog_db db"),
    QStringLiteral("where"),
    QStringLiteral("(d.v_company=db.database_id)"),
    QStringLiteral("and"),
    QStringLiteral("(db.quorvane_prog_id=p.prog_id)"),
    QStringLiteral("and"),
    QStringLiteral("(db.username=USER)"),
    QStringLiteral("and"),
    QStringLiteral("(d.db_name=:db_name)"),
    QStringLiteral("and"),
    QStringLiteral("(p.prog_exe like '%exe')"),
    QStringLiteral("and"),
    QStringLiteral("(db.ordinal >0)"),
    QStringLiteral("order by ordinal"),
    QString(),
};

// The three updates differ only in what they set.
QStringList updateSql(const QString& assignment) {
    return {
        QStringLiteral("update quorvane.user_prog_db"),
        QStringLiteral("set"),
        assignment,
        QStringLiteral("where"),
        QStringLiteral("(username=USER)"),
        QStringLiteral("and"),
        QStringLiteral("(quorvane_prog_id=:quorvane_prog_id)"),
        QStringLiteral("and"),
        QStringLiteral("(database_id=:database_id)"),
    };
}

QToolButton* pictureButton(QWidget* parent, QStyle::StandardPixmap picture, const QString& hint,
                           int x, int y) {
    auto* button = new QToolButton(parent);
    button->setGeometry(x, y, 25, 25);
    button->setIcon(parent->style()->standardIcon(picture));
    button->setToolTip(hint);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

} // namespace

TFormToolbarConf::TFormToolbarConf(Connection* database, QWidget* parent)
    : QDialog(parent), m_database(database) {
    QueryProg = new Query(m_database, this);
    QueryProg->setSql(ProgSql);
    QueryProg->beforeOpen = [this](Query& query) { QueryProgBeforeOpen(query); };
    DataSourceProg = new DataSource(QueryProg, this);
    QueryDelete = new Query(m_database, this);
    QueryDelete->setSql(updateSql(QStringLiteral("ordinal=0")));
    QueryAddOne = new Query(m_database, this);
    QueryAddOne->setSql(updateSql(QStringLiteral("ordinal=ordinal+1")));
    QueryMinusOne = new Query(m_database, this);
    QueryMinusOne->setSql(updateSql(QStringLiteral("ordinal=ordinal-1")));
    for (Query* update : {QueryDelete, QueryAddOne, QueryMinusOne}) {
        update->setDataSource(DataSourceProg);
    }
    StoredProcrecalc = new StoredProc(m_database, this);
    StoredProcrecalc->setStoredProcName(QStringLiteral("QUORVANE.RECALCORDINAL"));

    setWindowTitle(QStringLiteral("Configure toolbar"));
    setFixedSize(297, 302);
    setModal(true);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, QColor(0, 128, 64));
    setPalette(colours);
    setAutoFillBackground(true);

    Panel1 = new QFrame(this);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setLineWidth(2);
    const int listHeight = ToolbarProgramList::RowHeight * ToolbarProgramList::VisibleRows;
    Panel1->setGeometry(8, 8, 252, listHeight + 4);
    DBCtrlGrid1 = new ToolbarProgramList(DataSourceProg, Panel1);
    DBCtrlGrid1->setFrameShape(QFrame::NoFrame);
    DBCtrlGrid1->setGeometry(2, 2, 248, listHeight);

    SpeedButton2 = pictureButton(this, QStyle::SP_ArrowUp, QStringLiteral("move up"), 268, 68);
    SpeedButton1 = pictureButton(this, QStyle::SP_ArrowDown, QStringLiteral("move down"), 268, 96);
    SpeedButton3 =
        pictureButton(this, QStyle::SP_DialogDiscardButton, QStringLiteral("delete"), 268, 164);

    BitBtn2 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton),
                              QStringLiteral("Cancel"), this);
    BitBtn2->setGeometry(60, 256, 75, 25);
    BitBtn2->setAutoDefault(false);
    BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton),
                              QStringLiteral("OK"), this);
    BitBtn1->setGeometry(160, 256, 75, 25);
    BitBtn1->setDefault(true);

    connect(SpeedButton1, &QToolButton::clicked, this,
            guarded(this, &TFormToolbarConf::SpeedButton1Click));
    connect(SpeedButton2, &QToolButton::clicked, this,
            guarded(this, &TFormToolbarConf::SpeedButton2Click));
    connect(SpeedButton3, &QToolButton::clicked, this,
            guarded(this, &TFormToolbarConf::SpeedButton3Click));
    connect(BitBtn1, &QPushButton::clicked, this, guarded(this, &TFormToolbarConf::BitBtn1Click));
    connect(BitBtn2, &QPushButton::clicked, this, guarded(this, &TFormToolbarConf::BitBtn2Click));
}

void TFormToolbarConf::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) {
        guardHandler([this] { FormShow(); });
    }
}

void TFormToolbarConf::hideEvent(QHideEvent* event) {
    QDialog::hideEvent(event);
    if (!event->spontaneous()) {
        guardHandler([this] { FormHide(); });
    }
}

void TFormToolbarConf::FormShow() {
    m_database->startTransaction(Connection::Isolation::ReadCommitted);
    QueryProg->open();
}

void TFormToolbarConf::FormHide() {
    QueryProg->close();
}

void TFormToolbarConf::QueryProgBeforeOpen(Query& query) {
    query.setParam(QStringLiteral("db_name"), DbName);
}

void TFormToolbarConf::reopenList() {
    QueryProg->close();
    QueryProg->open();
}

void TFormToolbarConf::SpeedButton1Click() {
    if (QueryProg->eof()) {
        return;
    }
    const QString name = QueryProg->fieldByName(QStringLiteral("PROG_NAME")).asString();
    QueryAddOne->execSql();
    QueryProg->next();
    QueryMinusOne->execSql();
    reopenList();
    LocateByName(name);
}

void TFormToolbarConf::SpeedButton2Click() {
    if (QueryProg->bof()) {
        return;
    }
    const QString name = QueryProg->fieldByName(QStringLiteral("PROG_NAME")).asString();
    QueryMinusOne->execSql();
    QueryProg->prior();
    QueryAddOne->execSql();
    reopenList();
    LocateByName(name);
}

void TFormToolbarConf::LocateByName(const QString& name) {
    QueryProg->first();
    while (!QueryProg->eof() &&
           QueryProg->fieldByName(QStringLiteral("PROG_NAME")).asString() != name) {
        QueryProg->next();
    }
}

void TFormToolbarConf::SpeedButton3Click() {
    // Without the list (its query failed) there is no row to delete, and the update could
    // otherwise run outside the dialog's transaction.
    if (!QueryProg->active()) {
        return;
    }
    QueryDelete->execSql();
    reopenList();
}

void TFormToolbarConf::BitBtn1Click() {
    // The result becomes OK only once the new order is stored: after a failure the dialog
    // stays open with its transaction, and Cancel still undoes everything.
    try {
        StoredProcrecalc->execProc();
        m_database->commit();
    } catch (const Exception& error) {
        if (!m_database->sessionLost()) {
            throw;
        }
        // The transaction went with the session, and every OK would fail the same way: the
        // server undid the edits, so the dialog says so once and ends as Cancel does.
        m_database->rollback();
        MessageDlg(error.message() + QStringLiteral("\rThe changes to the toolbar were not saved."),
                   MsgKind::Error, MbOk);
        QDialog::done(Rejected);
        return;
    }
    QDialog::done(Accepted);
}

void TFormToolbarConf::BitBtn2Click() {
    setResult(Rejected);
    const auto closeDialog = qScopeGuard([this] { QDialog::done(Rejected); });
    m_database->rollback();
}

void TFormToolbarConf::reject() {
    guardHandler([this] { BitBtn2Click(); });
}
