#include "data/Dataset.h"

#include "data/Connection.h"
#include "data/DatabaseError.h"

Dataset::Dataset(Connection* connection, QObject* parent)
    : QObject(parent), m_connection(connection) {
    if (m_connection)
        m_connection->attach(this);
}

Dataset::~Dataset() {
    if (m_connection)
        m_connection->detach(this);
}

void Dataset::close() {
    if (!m_active)
        return;
    m_active = false;
    m_rows.clear();
    m_current = -1;
    m_bof = true;
    m_eof = true;
    emit afterClose();
    changed();
}

void Dataset::setResult(QStringList fieldNames, QVector<QVector<QVariant>> rows) {
    m_fieldNames = std::move(fieldNames);
    m_rows = std::move(rows);
    m_active = true;
    m_current = m_rows.isEmpty() ? -1 : 0;
    m_bof = true;
    m_eof = m_rows.isEmpty();
    emit afterOpen();
    emit afterScroll();
    changed();
}

void Dataset::setCurrent(int row) {
    if (row == m_current)
        return;
    m_current = row;
    emit afterScroll();
    changed();
}

void Dataset::setChangeHook(const QObject* owner, std::function<void()> hook) {
    removeChangeHook(owner);
    m_changeHooks.emplace_back(owner, std::move(hook));
}

void Dataset::removeChangeHook(const QObject* owner) {
    std::erase_if(m_changeHooks, [owner](const auto& entry) { return entry.first == owner; });
}

void Dataset::changed() {
    // A copy: a hook may add or remove hooks while it runs.
    const auto hooks = m_changeHooks;
    for (const auto& [owner, hook] : hooks)
        hook();
}

void Dataset::first() {
    m_bof = true;
    m_eof = m_rows.isEmpty();
    if (!m_rows.isEmpty())
        setCurrent(0);
}

void Dataset::last() {
    m_eof = true;
    m_bof = m_rows.isEmpty();
    if (!m_rows.isEmpty())
        setCurrent(int(m_rows.size()) - 1);
}

// A step clears both flags and sets the one of its direction when it cannot move; a step
// towards a flag already set does nothing.
void Dataset::next() {
    if (m_eof)
        return;
    m_bof = false;
    if (m_current + 1 < m_rows.size())
        setCurrent(m_current + 1);
    else
        m_eof = true;
}

void Dataset::prior() {
    if (m_bof)
        return;
    m_eof = false;
    if (m_current > 0)
        setCurrent(m_current - 1);
    else
        m_bof = true;
}

void Dataset::moveTo(int row) {
    if (row < 0 || row >= m_rows.size() || row == m_current)
        return;
    m_bof = false;
    m_eof = false;
    setCurrent(row);
}

int Dataset::fieldIndex(const QString& name) const {
    for (int i = 0; i < m_fieldNames.size(); ++i)
        if (m_fieldNames.at(i).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

bool Dataset::hasField(const QString& name) const {
    return fieldIndex(name) >= 0;
}

Field Dataset::fieldByName(const QString& name) const {
    const int index = fieldIndex(name);
    if (index < 0)
        throw EDatabaseError(QStringLiteral("Field '%1' not found").arg(name));
    if (m_current < 0 || m_current >= m_rows.size())
        return Field(m_fieldNames.at(index), QVariant());
    return Field(m_fieldNames.at(index), m_rows.at(m_current).at(index));
}

QVariant Dataset::value(int row, const QString& name) const {
    const int index = fieldIndex(name);
    if (index < 0 || row < 0 || row >= m_rows.size())
        return {};
    return m_rows.at(row).at(index);
}
