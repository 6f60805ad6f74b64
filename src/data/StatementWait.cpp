#include "data/StatementWait.h"

#include <QScopeGuard>

#include <libpq-fe.h>

#include <cerrno>
#include <poll.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Waits for `events` on the connection's socket until `deadline`; false when it passed.
bool waitFor(PGconn* conn, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd ready{PQsocket(conn), events, 0};
        const int n = ::poll(&ready, 1, int(left.count()));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return true; // let libpq find and report what is wrong with the socket
    }
}

} // namespace

StatementWait::Reply StatementWait::run(PGconn* conn, const Statement& statement,
                                        std::chrono::milliseconds bound) {
    const Clock::time_point deadline = Clock::now() + bound;
    Reply reply;
    // Non-blocking only while this statement runs: the driver's own calls expect blocking.
    if (PQsetnonblocking(conn, 1) != 0)
        return reply;
    const auto restore = qScopeGuard([conn] { PQsetnonblocking(conn, 0); });
    if (!PQsendQueryParams(conn, statement.text.constData(), int(statement.values.size()),
                           statement.types.constData(), statement.values.constData(),
                           statement.lengths.constData(), statement.formats.constData(), 0))
        return reply;
    for (int pending; (pending = PQflush(conn)) != 0;) {
        if (pending < 0)
            return reply;
        if (!waitFor(conn, POLLIN | POLLOUT, deadline))
            return {Outcome::TimedOut, nullptr};
        if (!PQconsumeInput(conn))
            return reply;
    }
    // The last result counts, as with PQexecParams; an error before it is kept, not lost.
    PGresult* last = nullptr;
    for (;;) {
        while (PQisBusy(conn)) {
            if (!waitFor(conn, POLLIN, deadline)) {
                PQclear(last);
                return {Outcome::TimedOut, nullptr};
            }
            if (!PQconsumeInput(conn)) {
                PQclear(last);
                return reply;
            }
        }
        PGresult* next = PQgetResult(conn);
        if (!next)
            break;
        const bool lastFailed = last && PQresultStatus(last) == PGRES_FATAL_ERROR;
        if (lastFailed) {
            PQclear(next);
        } else {
            PQclear(last);
            last = next;
        }
    }
    return {last ? Outcome::Answered : Outcome::Failed, last};
}

void StatementWait::cancelInBackground(PGconn* conn) {
    PGcancel* cancel = PQgetCancel(conn);
    if (!cancel)
        return;
    std::thread([cancel] {
        char error[256];
        PQcancel(cancel, error, sizeof error);
        PQfreeCancel(cancel);
    }).detach();
}
