#pragma once

#include "data/Field.h"

#include <QList>
#include <QMap>
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
        QString type; // the server's type name, for the cast in the call
    };
    void prepare();
    Param* find(const QString& name);

    QString m_callText;                // CALL schema.name($1::type, ...) or select * from ...
    QMap<QString, QVariant> m_pending; // values set before the catalog was read, by lower name

    Connection* m_connection;
    QString m_name;
    QList<Param> m_params;
    bool m_prepared = false;
    bool m_isProcedure = true;
};
