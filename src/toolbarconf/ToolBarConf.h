#pragma once

#include <QDialog>
#include <QString>

class Connection;

// Reorders and removes the quick-launch buttons of one company, on their database rows,
// inside one transaction on the shared connection.
class TFormToolbarConf : public QDialog {
    Q_OBJECT
public:
    explicit TFormToolbarConf(Connection* database, QWidget* parent = nullptr);

    QString DbName;

private:
    Connection* m_database;
};

extern TFormToolbarConf* FormToolbarConf;
