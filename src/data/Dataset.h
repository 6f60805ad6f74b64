#pragma once

#include "data/Field.h"

#include <QObject>
#include <QStringList>
#include <QVariant>
#include <QVector>
#include <functional>
#include <utility>
#include <vector>

class Connection;
class DataSource;

// Rows fetched on open, a cursor over them, and the start/end flags of the system:
// after open the start flag is set (and the end flag when there are no rows); next() on the
// last row keeps the cursor and sets the end flag; prior() on the first row keeps it and sets
// the start flag; moveTo() (a click in a list) clears both unless it cannot move (a row out of
// range, or the row already current). afterScroll follows afterOpen, so a DataSource that
// listens to afterScroll and afterClose sees each open once.
class Dataset : public QObject {
    Q_OBJECT
public:
    explicit Dataset(Connection* connection, QObject* parent = nullptr);
    ~Dataset() override;

    Connection* connection() const { return m_connection; }

    virtual void open() = 0;
    void close();
    bool active() const { return m_active; }

    void first();
    void next();
    void prior();
    void last();
    void moveTo(int row);
    bool bof() const { return m_bof; }
    bool eof() const { return m_eof; }
    int recordCount() const { return m_rows.size(); }
    int recNo() const { return m_current; } // -1 when there is no row

    // Field of the current row by name, without regard to case; an unknown name raises
    // EDatabaseError "Field 'NAME' not found". A dataset without rows gives null fields.
    Field fieldByName(const QString& name) const;
    bool hasField(const QString& name) const;
    QStringList fieldNames() const { return m_fieldNames; }
    // A value of any row, for lists that draw every row.
    QVariant value(int row, const QString& name) const;

    // Called after every open, close and move, after the signals below: a detail query's
    // statement runs from here and may raise, and its error must reach whoever moved this
    // dataset as a plain call, never unwind through Qt's signal code. One hook per owner.
    void setChangeHook(const QObject* owner, std::function<void()> hook);
    void removeChangeHook(const QObject* owner);

signals:
    void afterOpen();
    void afterClose();
    void afterScroll(); // the current row changed (also after open)

protected:
    void setResult(QStringList fieldNames, QVector<QVector<QVariant>> rows);
    int fieldIndex(const QString& name) const;

private:
    friend class Connection; // clears m_connection when the connection goes first
    void setCurrent(int row);
    void changed();

    Connection* m_connection;
    bool m_active = false;
    bool m_bof = true;
    bool m_eof = true;
    int m_current = -1;
    QStringList m_fieldNames;
    QVector<QVector<QVariant>> m_rows;
    std::vector<std::pair<const QObject*, std::function<void()>>> m_changeHooks;
};
