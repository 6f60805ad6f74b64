#pragma once

#include "data/HostOrder.h"

#include <QObject>
#include <QSqlDatabase>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <functional>

class Dataset;
struct pg_conn;

// The program's one database connection. Parameters are "NAME=VALUE" texts; all fixed
// parameters are present, and "USER NAME", "PASSWORD", "SERVER NAME" are set before open.
// "SERVER NAME" names a libpq connection service (matched without regard to case), or reads
// host[:port][/dbname]. It uses verified TLS (sslmode=verify-full) unless the service entry or
// PGSSLMODE names an sslmode. Outside a transaction every statement commits at once.
class Connection : public QObject {
    Q_OBJECT
public:
    explicit Connection(const QString& alias = QStringLiteral("QORACLE"),
                        QObject* parent = nullptr);
    ~Connection() override;

    const QString& alias() const { return m_alias; }

    // The whole parameter list, in its order.
    const QStringList& params() const { return m_params; }
    QString param(const QString& name) const;
    void setParam(const QString& name, const QString& value);

    // Opens with the current parameters; a failure raises EDatabaseError with the server's
    // message. Opening an open connection does nothing. A statement that waits on a lock
    // gives up after LockTimeoutSeconds with the server's error.
    void open();
    static constexpr int LockTimeoutSeconds = 3;
    // A statement with no answer for this long is cancelled on the server, its session is
    // dropped and it fails with statementTimeoutMessage(); the next statement opens a new
    // session, as after any lost one. No statement of a sign-in comes near it.
    static constexpr int StatementTimeoutSeconds = 10;
    static QString statementTimeoutMessage();
    // Closes every dataset on the connection, then the connection.
    void close();
    bool connected() const;
    // Opens on demand: queries and calls use this before they run. A session that the server
    // ended while idle (restart, idle time-out) is noticed here, before a statement is sent.
    void ensureOpen();

    // Runs after the connection was opened again on demand (it had been closed, or the server
    // had dropped the session), before the statement that opened it; not after open(). What
    // the old session held (the current company) is set again here. Its statements do not run
    // it again; when it fails, its error ends the statement, and it is not tried again before
    // the next new session.
    std::function<void()> afterReopen;

    enum class Isolation { ReadCommitted, Serializable };
    void startTransaction(Isolation isolation = Isolation::ReadCommitted);
    void commit();
    void rollback();
    bool inTransaction() const { return m_session.inTransaction; }
    // The server dropped the session (a statement found it gone); the next statement outside
    // a transaction opens a new one.
    bool sessionLost() const { return m_session.state == Session::State::Lost; }
    // The open session can take a statement as it is: it is neither closed nor dropped by the
    // server, so a statement would not open a new one (and set again what the old one held).
    bool sessionReady();

    // Datasets announce themselves so that close() can close them.
    void attach(Dataset* dataset);
    void detach(Dataset* dataset);

    // One statement as it stands, with positional parameters $1, $2 ... bound to `params`
    // (sent apart from the text, never pasted into it). Opens on demand. Numbers arrive as
    // double, dates as QDate, byte strings as QByteArray. Failures raise EDatabaseError.
    struct Result {
        QStringList fieldNames;
        QVector<QVector<QVariant>> rows;
        int rowsAffected = 0;
    };
    Result exec(const QString& sql, const QVariantList& params = {});

    // The form in which the server stores `password` for `role`, made here by libpq with the
    // algorithm of the server's password_encryption, so the password never travels. It is
    // taken as UTF-8, the bytes a sign-in sends. Opens on demand; failures raise
    // EDatabaseError.
    QString passwordVerifier(const QString& role, const QString& password);

    // The service section that "SERVER NAME" names (case-blind) in the first service file that
    // holds it, or the empty text.
    static QString findService(const QString& serverName);
    // The name the server gets for a login: a plain identifier folded to lower case.
    static QString serverLogin(const QString& login);

signals:
    void afterConnect();
    void afterDisconnect();

private:
    QString m_alias;
    QStringList m_params;
    QList<Dataset*> m_datasets;

    // One session with the server and everything that belongs to it alone: opening (on
    // demand or not) replaces it whole, closing empties it.
    struct Session {
        QString connectionName; // the driver's connection; a new one for every session
        enum class State { Closed, Open, Lost };
        State state = State::Closed;
        // Lost: what the server said when it dropped the session (or that it did not answer).
        // Outside a transaction the next statement opens a new session; inside one,
        // statements fail until commit or rollback ends it.
        QString lostMessage;
        bool inTransaction = false;
        // Opened on demand: afterReopen is still to run for it.
        bool restorePending = false;
    };
    Session m_session;

    // Which of the server's hosts answered last: tried first on the next open.
    HostOrder m_hostOrder;

    QString newConnectionName() const;
    pg_conn* handle() const;
    // Replaces the session by a new one; raises EDatabaseError and leaves none on failure.
    void replaceSession(bool onDemand);
    // Connects the driver's connection of that name; raises EDatabaseError on failure.
    void connectSession(const QString& connectionName);
    // Ends the driver's connection of the session, if any; the session value stays.
    void releaseDriver();
    [[noreturn]] void fail(const QString& message);
    // A statement went unanswered: cancelled on the server, the session dropped.
    [[noreturn]] void giveUp(pg_conn* conn);
    void noticeDrop();
};
