#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

class Connection;

// What one upgrade check found and did, for the central database: one entry per program the
// check listed (what is installed now and what the run did with it), sent in one call after
// the check and its run. A database without the report procedure is left alone; reporting
// never raises and never shows anything, so it cannot stop a sign-in.
class UpgradeReport : public QObject {
    Q_OBJECT
public:
    enum class Outcome {
        UpToDate,
        Fetched,
        Failed,
        DigestMismatch,
        SignatureRefused,
        RollbackRefused
    };

    explicit UpgradeReport(Connection* database, QObject* parent = nullptr);

    // A new check: the entries of the last one are gone.
    void begin();
    // A program of the check, with the version text recorded for it before the check (null:
    // none). It counts as up to date unless the check lists it for fetching.
    void listed(const QString& exe, const QString& installedVersion);
    // Listed for fetching; until the run reaches it, it counts as failed by a stopped run.
    void outdated(const QString& exe);
    // bytes and millis: what the download took; `message`: what went wrong recording the
    // installed file, if anything.
    void fetched(const QString& exe, const QString& version, const QString& sha256, qint64 bytes,
                 qint64 millis, const QString& message = QString());
    // Keeps a refusal already told for this program: that is why it failed.
    void failed(const QString& exe, const QString& message);
    void refused(const QString& exe, const QString& receivedSha256);
    // The check refused the listed release: no trusted signature, or below the version
    // installed before (`rollback`). Nothing was fetched.
    void refusedRelease(const QString& exe, bool rollback, const QString& message);
    // The run ended early: every program it did not reach failed with `message`.
    void stopped(const QString& message);

    // One call with every entry, after a catalog check made once per connection (a server
    // whose procedure predates the fetch figures gets the entries without them). A call that
    // fails is tried once more, inside the next report, counted in each entry's retries; then
    // its entries are dropped. While
    // the connection is closed or inside a transaction the report waits for the next one.
    void send();
    // send() a moment after the event that calls this has returned, so the window it builds
    // is on the screen first: the user never waits for the report.
    void sendSoon();
    bool sendPending() const { return m_soon.isActive(); }
    static constexpr int SendDelayMs = 200;

    // The workstation as the reports name it: host name and machine id (empty without one).
    static QString hostName();
    static QString machineId(const QStringList& files = {
                                 QStringLiteral("/etc/machine-id"),
                                 QStringLiteral("/var/lib/dbus/machine-id")});

private:
    struct Entry {
        QString exe;
        QString previousVersion; // before the check
        QString installedVersion;
        QString sha256;
        Outcome outcome = Outcome::UpToDate;
        QString message;
        QString receivedSha256;
        bool pending = false; // listed for fetching, not reached yet
        qint64 bytes = -1;    // fetched; -1: nothing fetched
        qint64 millis = -1;
        int retries = 0; // earlier calls that failed to deliver this entry
    };
    // Which report procedure the server has: none, the one without fetch figures, or both.
    enum class Procedure { None, Plain, WithFetch };

    Entry* find(const QString& exe);
    // This report's entries and those of a failed one that this one does not list.
    QList<Entry> withRetry() const;
    Procedure procedure();
    void call(const QList<Entry>& entries);

    Connection* m_database;
    // Who signed in where when the check ran: entries are stored under the role of the session
    // that sends them, so a report never goes out under another user's name.
    QString identity() const;
    QString m_owner;
    QString m_retryOwner;
    QList<Entry> m_entries;
    // Entries of a report whose call failed, for their one more try.
    QList<Entry> m_retry;
    // Whether the catalog was asked on this connection, and what it said.
    bool m_checked = false;
    Procedure m_procedure = Procedure::None;
    QTimer m_soon;
};
