#include "data/StoredProc.h"

#include "data/Connection.h"
#include "data/DatabaseError.h"

namespace {

QString quoteIdent(QString name) {
    name.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + name + QLatin1Char('"');
}

} // namespace

StoredProc::StoredProc(Connection* connection, QObject* parent)
    : QObject(parent), m_connection(connection) {}

void StoredProc::setStoredProcName(const QString& name) {
    if (name == m_name)
        return;
    m_name = name;
    m_params.clear();
    m_pending.clear();
    m_prepared = false;
}

StoredProc::Param* StoredProc::find(const QString& name) {
    for (Param& p : m_params)
        if (p.name.compare(name, Qt::CaseInsensitive) == 0)
            return &p;
    return nullptr;
}

void StoredProc::setParam(const QString& name, const QVariant& value) {
    if (Param* p = find(name)) {
        p->value = value;
        return;
    }
    if (m_prepared)
        throw EDatabaseError(QStringLiteral("Parameter '%1' not found").arg(name));
    m_pending.insert(name.toLower(), value);
}

Field StoredProc::paramByName(const QString& name) const {
    for (const Param& p : m_params)
        if (p.name.compare(name, Qt::CaseInsensitive) == 0)
            return Field(p.name, p.value);
    const auto it = m_pending.constFind(name.toLower());
    if (it != m_pending.constEnd())
        return Field(name, it.value());
    throw EDatabaseError(QStringLiteral("Parameter '%1' not found").arg(name));
}

// The parameter list comes from the catalog; names are folded as the server folds them.
void StoredProc::prepare() {
    const qsizetype dot = m_name.indexOf(QLatin1Char('.'));
    const QString schema = dot < 0 ? QStringLiteral("public") : m_name.left(dot).toLower();
    const QString proc = (dot < 0 ? m_name : m_name.mid(dot + 1)).toLower();
    const Connection::Result catalog = m_connection->exec(
        QStringLiteral(
            "select p.prokind::text, coalesce(array_to_string(p.proargnames, ',', ''), ''), "
            "coalesce(array_to_string(p.proargmodes, ','), ''), "
            "coalesce((select string_agg(format_type(t.oid, null), ',' order by a.n) "
            "from unnest(coalesce(p.proallargtypes, p.proargtypes::oid[])) with ordinality a(oid, "
            "n) "
            "join pg_type t on t.oid = a.oid), '') "
            "from pg_proc p join pg_namespace s on s.oid = p.pronamespace "
            "where s.nspname = $1 and p.proname = $2 order by p.oid limit 1"),
        {schema, proc});
    if (catalog.rows.isEmpty())
        throw EDatabaseError(QStringLiteral("Stored procedure %1 not found").arg(m_name));
    const QVector<QVariant>& row = catalog.rows.front();
    const bool isProcedure = row.at(0).toString() == QLatin1String("p");
    const QStringList names = row.at(1).toString().split(QLatin1Char(','));
    const QStringList modes = row.at(2).toString().split(QLatin1Char(','), Qt::SkipEmptyParts);
    const QStringList types = row.at(3).toString().split(QLatin1Char(','), Qt::SkipEmptyParts);

    QList<Param> params;
    QStringList args;
    for (int i = 0; i < types.size(); ++i) {
        Param p;
        p.name = i < names.size() && !names.at(i).isEmpty() ? names.at(i)
                                                            : QStringLiteral("$%1").arg(i + 1);
        p.mode = i < modes.size() ? modes.at(i) : QStringLiteral("i");
        p.type = types.at(i);
        params << p;
    }
    int argNo = 0;
    for (const Param& p : std::as_const(params)) {
        // A call names every argument of a procedure (outputs as null); a function only inputs.
        if (!isProcedure && p.mode == QLatin1String("o"))
            continue;
        if (p.mode == QLatin1String("t") || p.mode == QLatin1String("v"))
            continue;
        args << QStringLiteral("$%1::%2").arg(++argNo).arg(p.type);
    }
    const QString target = quoteIdent(schema) + QLatin1Char('.') + quoteIdent(proc);
    m_callText = (isProcedure ? QStringLiteral("call ") : QStringLiteral("select * from ")) +
                 target + QLatin1Char('(') + args.join(QStringLiteral(", ")) + QLatin1Char(')');
    m_params = params;
    for (auto it = m_pending.constBegin(); it != m_pending.constEnd(); ++it) {
        Param* p = find(it.key());
        if (!p)
            throw EDatabaseError(QStringLiteral("Parameter '%1' not found").arg(it.key()));
        p->value = it.value();
    }
    m_pending.clear();
    m_prepared = true;
    m_isProcedure = isProcedure;
}

void StoredProc::execProc() {
    if (!m_connection)
        throw EDatabaseError(QStringLiteral("The stored procedure has no database connection"));
    if (!m_prepared)
        prepare();
    QVariantList values;
    for (const Param& p : std::as_const(m_params)) {
        if (p.mode == QLatin1String("i") || p.mode == QLatin1String("b"))
            values << p.value;
        else if (p.mode == QLatin1String("o") && m_isProcedure)
            values << QVariant();
    }
    const Connection::Result result = m_connection->exec(m_callText, values);
    if (result.rows.isEmpty())
        return;
    for (int c = 0; c < result.fieldNames.size(); ++c) {
        if (Param* p = find(result.fieldNames.at(c)); p && p->mode != QLatin1String("i"))
            p->value = result.rows.front().at(c);
    }
}
