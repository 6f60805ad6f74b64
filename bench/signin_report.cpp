// What the upgrade report costs a sign-in: the time from OK in the login dialog to the built
// main window (the report goes a moment later, once the window is up, and is made before the
// next round), against the throwaway cluster with the demo data, on a workstation whose
// programs are all current (the check's cheapest case, so the report weighs most). Rounds
// alternate between the database as it is and the same database without the report
// procedure (as an older central database is), so both see the same data and the same
// machine load. Then the report alone, on a fresh session as each sign-in has: the catalog
// look-up and the call.
//
//   signin_report [rounds]
#include "LauncherHarness.h"

#include "data/Connection.h"
#include "dialogs/MessageDialogsDouble.h"
#include "pg/DemoSignIn.h"
#include "upgrade/UpgradeReport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const char* const Signature =
    "quorvane.report_upgrade(text, text, text[], text[], text[], text[], text[], text[])";

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// One start of the launcher: milliseconds from OK to the main window; negative on failure.
double SignIn() {
    MessageDialogsDouble dialogs;
    LauncherWindows w;
    QElapsedTimer clock;
    w.answerLogin(DemoData::MariUser, DemoData::MariPassword, [&] { clock.start(); });
    w.form.show();
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    // The report goes a moment after the window is up; it is made before the next round.
    while (w.installer.Report->sendPending()) {
        QCoreApplication::processEvents();
        QThread::msleep(2);
    }
    const bool ok = w.form.isVisible() && w.form.TabSet->count() == 3 && dialogs.calls().isEmpty();
    return ok ? ms : -1;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 31;
    PgFixture& pg = PgFixture::instance();
    if (!pg.ok()) {
        std::fprintf(stderr, "cluster: %s\n", qPrintable(pg.error()));
        return 1;
    }
    DriveFolder drive;
    const QString on = QStringLiteral("alter procedure quorvane.report_upgrade_off(text, text, "
                                      "text[], text[], text[], text[], text[], text[]) rename to "
                                      "report_upgrade");
    const QString off = QStringLiteral("alter procedure %1 rename to report_upgrade_off")
                            .arg(QLatin1String(Signature));

    SignIn(); // warms the server's caches and the program's first-use paths
    std::vector<double> with, without;
    for (int i = 0; i < rounds; ++i) {
        with.push_back(SignIn());
        if (!pg.superExec(off))
            return std::fprintf(stderr, "%s\n", qPrintable(pg.lastError())), 1;
        without.push_back(SignIn());
        if (!pg.superExec(on))
            return std::fprintf(stderr, "%s\n", qPrintable(pg.lastError())), 1;
    }
    if (std::count_if(with.begin(), with.end(), [](double ms) { return ms < 0; }) ||
        std::count_if(without.begin(), without.end(), [](double ms) { return ms < 0; })) {
        std::fprintf(stderr, "a sign-in did not reach the main window\n");
        return 1;
    }

    // The report alone: on a new session, as each sign-in has (the catalog is asked, the
    // procedure is compiled in that server process), and once more on the same session. The
    // server process has loaded PL/pgSQL first: a sign-in's later calls load it anyway, so
    // its load is no cost of the report's.
    std::vector<double> fresh, again;
    {
        LauncherWindows w;
        Connection& db = *w.form.Database1;
        DemoData::setSignIn(db, DemoData::MariUser, DemoData::MariPassword);
        QElapsedTimer clock;
        for (int i = 0; i < rounds; ++i) {
            db.close();
            db.open();
            w.installer.CountOutdated();
            db.exec(QStringLiteral("call quorvane.outsystem_date(null)"));
            clock.start();
            w.installer.Report->send();
            fresh.push_back(double(clock.nsecsElapsed()) / 1e6);
            clock.start();
            w.installer.Report->send();
            again.push_back(double(clock.nsecsElapsed()) / 1e6);
        }
    }
    const auto reported =
        pg.superRows(QStringLiteral("select count(*) from quorvane.upgrade_report"));

    // Each pair ran back to back, so its difference is the least touched by the load of the
    // machine drifting over the run.
    std::vector<double> differences;
    for (int i = 0; i < rounds; ++i)
        differences.push_back(with[size_t(i)] - without[size_t(i)]);
    const double a = Median(with), b = Median(without), d = Median(differences);
    std::printf("OK to main window, median of %d sign-ins each, same run, same data:\n", rounds);
    std::printf("  with the report      %8.2f ms\n", a);
    std::printf("  without (no proc.)   %8.2f ms\n", b);
    std::printf("  ratio of medians     %8.3f  (target at most 1.05)\n", b > 0 ? a / b : 0);
    std::printf("  paired difference    %8.2f ms, ratio %.3f\n", d, b > 0 ? (b + d) / b : 0);
    // The fastest of each: what a quiet machine comes closest to.
    const double fa = *std::min_element(with.begin(), with.end());
    const double fb = *std::min_element(without.begin(), without.end());
    std::printf("  fastest of each      %8.2f ms against %.2f ms, ratio %.3f\n", fa, fb,
                fb > 0 ? fa / fb : 0);
    std::printf("The report alone (%lld rows kept), median of %d:\n",
                reported.value(0).value(0).toLongLong(), rounds);
    std::printf("  new session: catalog look-up and call   %6.2f ms\n", Median(fresh));
    std::printf("  same session: the call alone            %6.2f ms\n", Median(again));
    return 0;
}
