#pragma once

#include "data/Dataset.h"
#include "data/SqlDialect.h"

#include <QMap>
#include <functional>

class DataSource;

// A fixed SQL text with named parameters (":name"). The text goes through the SQL dialect
// layer and is sent with bound values; no value is ever pasted into the text.
// With a master DataSource, every parameter not set explicitly takes the value of the
// master's current-row field of the same name (case-blind), and the query re-runs whenever
// the master moves or reopens while this query is open (not when the master closes).
class Query : public Dataset {
    Q_OBJECT
public:
    explicit Query(Connection* connection, QObject* parent = nullptr);
    ~Query() override;

    void setSql(const QString& sql);
    void setSql(const QStringList& lines); // joined with line breaks
    const QString& sql() const { return m_sql; }
    QStringList paramNames() const;

    void setParam(const QString& name, const QVariant& value);
    QVariant param(const QString& name) const;
    void clearParam(const QString& name);

    void setDataSource(DataSource* master);
    DataSource* dataSource() const { return m_master; }

    // Runs just before every open (the system's BeforeOpen event).
    std::function<void(Query&)> beforeOpen;

    void open() override;
    // A row-less statement (update, alter ...); returns the rows affected.
    int execSql();

private:
    void masterChanged();
    void run(); // beforeOpen, then fetch every row
    QVariant effectiveParam(const QString& name) const;
    // Makes a password verifier on this query's connection.
    PasswordVerifier verifier() const;

    QString m_sql;
    QMap<QString, QVariant> m_params; // by lower-case name
    DataSource* m_master = nullptr;
};
