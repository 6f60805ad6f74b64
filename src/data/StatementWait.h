#pragma once

#include <QByteArray>
#include <QVector>

#include <chrono>

struct pg_conn;
struct pg_result;

// One statement on a libpq connection that waits for its answer at most a given time, so a
// server that hangs while the path stays up (a stopped server process, a stalled proxy: the
// kernel still acknowledges, so keepalives never fire) cannot hold the window for ever.
class StatementWait {
public:
    struct Statement {
        QByteArray text;
        QVector<const char*> values; // nullptr: SQL null
        QVector<int> lengths;
        QVector<int> formats;
        QVector<unsigned> types;
    };
    enum class Outcome { Answered, Failed, TimedOut };
    struct Reply {
        Outcome outcome = Outcome::Failed;
        pg_result* result = nullptr; // the last result, owned by the caller (Answered)
    };
    // Sends `statement` and collects its results until `bound` has passed without them.
    // Failed: the connection broke before an answer (its error message tells why).
    static Reply run(pg_conn* conn, const Statement& statement, std::chrono::milliseconds bound);
    // Asks the server to cancel what `conn` runs, without waiting for the server: the request
    // goes out on a thread of its own, since it opens a connection of its own that a hung
    // server (or proxy) would never answer either.
    static void cancelInBackground(pg_conn* conn);
};
