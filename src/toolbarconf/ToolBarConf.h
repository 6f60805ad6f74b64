#pragma once

#include <QDialog>
#include <QString>

class Connection;
class DataSource;
class Query;
class StoredProc;
class QFrame;
class QPushButton;
class QToolButton;
class ToolbarProgramList;

// Reorders and removes the quick-launch buttons of one company, on their database rows,
// inside one transaction on the shared connection.
class TFormToolbarConf : public QDialog {
    Q_OBJECT
public:
    explicit TFormToolbarConf(Connection* database, QWidget* parent = nullptr);

    QString DbName;

    // Components.
    Query* QueryProg = nullptr;
    DataSource* DataSourceProg = nullptr;
    Query* QueryDelete = nullptr;
    Query* QueryAddOne = nullptr;
    Query* QueryMinusOne = nullptr;
    StoredProc* StoredProcrecalc = nullptr;

    // Widgets.
    QFrame* Panel1 = nullptr;
    ToolbarProgramList* DBCtrlGrid1 = nullptr;
    QToolButton* SpeedButton1 = nullptr; // move down
    QToolButton* SpeedButton2 = nullptr; // move up
    QToolButton* SpeedButton3 = nullptr; // delete
    QPushButton* BitBtn1 = nullptr;      // OK
    QPushButton* BitBtn2 = nullptr;      // Cancel

    // Handlers; errors are raised to the caller (the widgets hand them to the error handler).
    void FormShow();
    void FormHide();
    void QueryProgBeforeOpen(Query& query);
    void SpeedButton1Click();
    void SpeedButton2Click();
    void SpeedButton3Click();
    void BitBtn1Click();
    void BitBtn2Click();
    void LocateByName(const QString& name);

    // Esc and the close box end here, as Cancel.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void reopenList();

    Connection* m_database;
};

extern TFormToolbarConf* FormToolbarConf;
