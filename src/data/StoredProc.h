#pragma once

#include "data/Field.h"

#include <QList>
#include <QObject>

class Connection;

// A call of a stored procedure "SCHEMA.NAME". Its parameter list comes from the server's
// catalog on the first call; inputs are set by name (case-blind), outputs read after the call
// (an output date arrives as a date).
class StoredProc : public QObject {
    Q_OBJECT
public:
    explicit StoredProc(Connection* connection, QObject* parent = nullptr);

    void setStoredProcName(const QString& name);
    const QString& storedProcName() const { return m_name; }

    void setParam(const QString& name, const QVariant& value);
    Field paramByName(const QString& name) const;

    // Runs the procedure; failures raise EDatabaseError with the server's message.
    void execProc();

private:
    struct Param {
        QString name;
        QString mode; // "i", "o", "b" as the catalog names them
        QVariant value;
    };
    void prepare();

    Connection* m_connection;
    QString m_name;
    QList<Param> m_params;
    bool m_prepared = false;
};
