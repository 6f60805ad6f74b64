// A central server as a large organisation runs it: 10,000 users, 100 companies, 1,000
// programs, 2.1 M grants (bench/scale-data.sql, made on the server). Prints, in one run:
//  - each per-user statement's time for one user (psql over the unix socket, median of 5) and
//    the scans of its plan,
//  - over TCP with TLS and SCRAM as a workstation signs in, one connection each, 20 clients:
//    the bare connection (the floor) and the whole sign-in as the launcher sends it (taken
//    from the server's log of a real sign-in), each one's rate and server processor time,
//    their ratio, and the sign-in at offered loads of 3.3/s and 33/s (p50, p95); then the
//    sign-in again with PL/pgSQL preloaded,
//  - the per-user statements and the sign-in's rate again with half of the programs in a
//    rollout, side by side with the figures without,
//  - one big user's (100 companies x 1,000 programs) OK-to-main-window time in the launcher
//    against psql running the same statements over TCP, median of 3 each.
// --unfixed first puts user_prog_db.username back in the default collation, as databases had
// it before update.sql, for the figures before; --untuned takes back the program table's
// indexes for the sign-in, the random_page_cost and the plain-SQL set_cname and
// outsystem_date, as databases had them before.
//
//   signin_scale [--unfixed] [--untuned] [users companies programs]
#include "Measure.h"
#include "ServerLoad.h"

#include "data/Query.h"
#include "launcher/ProgramWindows.h"
#include "launcher/QuorvaneApplication.h"
#include "platform/MessageDialogs.h"
#include "platform/ProcessStart.h"
#include "signin/QuorvaneUserLogin.h"
#include "signin/passwd2.h"
#include "toolbarconf/ToolBarConf.h"
#include "upgrade/UpgradeReport.h"
#include "upgrade/cinstall.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const QString Source = QStringLiteral(QV_SOURCE_DIR);
const QString BigUser = QStringLiteral("qvbig");
const QString BigPassword = QStringLiteral("Big2026");

struct Cluster {
    QString dir;
    int port = 0;
    QString bin;
};

QString serverBin() {
    QStringList found = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs);
    std::sort(found.begin(), found.end(),
              [](const QString& a, const QString& b) { return a.toInt() < b.toInt(); });
    return found.isEmpty()
               ? QString()
               : QStringLiteral("/usr/lib/postgresql/") + found.last() + QStringLiteral("/bin/");
}

QString clusterScript() {
    return Source + QStringLiteral("/scripts/pg-cluster");
}

// Runs a program to its end; its standard output, or a null text when it failed.
QString run(const QString& program, const QStringList& args, const QByteArray& input = {}) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(program, args);
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(-1);
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return {};
    const QString output = QString::fromUtf8(p.readAllStandardOutput());
    return output.isNull() ? QStringLiteral("") : output;
}

// As the superuser over the unix socket.
QString psql(const Cluster& c, const QByteArray& script) {
    return run(c.bin + QStringLiteral("psql"),
               {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-v"),
                QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-h"), c.dir,
                QStringLiteral("-p"), QString::number(c.port), QStringLiteral("-U"),
                QStringLiteral("postgres"), QStringLiteral("-d"), QStringLiteral("quorvane")},
               script);
}

QString joined(const Query* q) {
    return q->sql();
}

// A launcher text with its parameters as psql or pgbench should read them.
QString bound(QString sql, const QList<std::pair<QString, QString>>& values) {
    for (const auto& [name, value] : values)
        sql.replace(QLatin1Char(':') + name, value);
    // What the launcher's dialect layer adds: a backslash in LIKE is no escape.
    return sql.replace(QStringLiteral("like 'c:\\%'"), QStringLiteral("like 'c:\\%' escape ''"));
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The statements of one sign-in of `user` whose first company and program group these are,
// each ending in a semicolon, taken from the launcher's own components.
struct Statements {
    QList<std::pair<QString, QString>> list; // name, text
};

Statements statementsOf(TQuorvaneForm& form, TFormInstaller& installer, TFormToolbarConf& toolbar,
                        const QString& company, const QString& group, int progId, int companyId) {
    Statements s;
    const auto add = [&s](const QString& name, const QString& sql) {
        s.list << std::pair{name, sql + QStringLiteral(";")};
    };
    const QString name = QLatin1Char('\'') + company + QLatin1Char('\'');
    add(QStringLiteral("companies"), joined(form.QueryDatabases));
    add(QStringLiteral("upgrade list"), bound(joined(installer.Query1), {}));
    add(QStringLiteral("digests"), joined(installer.QueryDigests));
    add(QStringLiteral("set company"), QStringLiteral("call quorvane.set_cname(%1)").arg(name));
    add(QStringLiteral("groups"), joined(form.QueryGroups));
    add(QStringLiteral("programs"),
        bound(joined(form.QueryProg), {{QStringLiteral("prog_group"), group}}));
    add(QStringLiteral("bar"), bound(joined(form.QueryLoad), {{QStringLiteral("db_name"), name}}));
    add(QStringLiteral("date"), QStringLiteral("call quorvane.outsystem_date(null)"));
    add(QStringLiteral("bar save"),
        QStringLiteral("call quorvane.savebuttonconf(1, 'prog%1.exe ', %2)").arg(progId).arg(name));
    add(QStringLiteral("toolbar list"),
        bound(joined(toolbar.QueryProg), {{QStringLiteral("db_name"), name}}));
    const QList<std::pair<QString, QString>> row = {
        {QStringLiteral("quorvane_prog_id"), QString::number(progId)},
        {QStringLiteral("database_id"), QString::number(companyId)}};
    add(QStringLiteral("toolbar move"), bound(joined(toolbar.QueryAddOne), row));
    add(QStringLiteral("toolbar delete"), bound(joined(toolbar.QueryDelete), row));
    add(QStringLiteral("recalc"), QStringLiteral("call quorvane.recalcordinal()"));
    return s;
}

// Seconds from OK in the login dialog to the built main window; with `report`, the upgrade
// report then goes out at once, as it does a moment later in a real run.
double launcherSignIn(const QString& user, const QString& password, bool report) {
    ProgramWindows w;
    QElapsedTimer clock;
    QTimer::singleShot(0, &w.login, [&] {
        w.login.ConnComboBox->setEditText(QStringLiteral("ORCL"));
        w.login.LoginEdit->setText(user);
        w.login.PasswdEdit->setText(password);
        clock.start();
        w.login.BitBtn1->click();
    });
    w.form.show();
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (w.form.TabSet->count() == 0)
        std::fprintf(stderr, "signin_scale: the launcher built no tabs\n");
    if (report)
        w.installer.Report->send();
    return seconds;
}

qint64 postmasterPid(const Cluster& c) {
    QFile pid(c.dir + QStringLiteral("/data/postmaster.pid"));
    return pid.open(QIODevice::ReadOnly) ? pid.readLine().trimmed().toLongLong() : 0;
}

void printLoad(const char* what, const Load& l) {
    std::printf("  %-34s %6.1f/s %7.1f ms server CPU each, p50 %6.0f ms, p95 %6.0f ms%s\n", what,
                l.rate, l.cpuMsEach, l.p50Ms, l.p95Ms, l.ok ? "" : "  (pgbench failed)");
}

// A drive folder where every program the upgrade keeps current is installed and up to date,
// so the check runs in full and fetches nothing.
void prepareDrive(const QString& drive, int programs) {
    QDir root(drive);
    root.mkpath(QStringLiteral("quorvane3"));
    QByteArray settings = "[dblist]\nORCL=Y\n[progversion]\n";
    for (int p = 3; p <= programs; p += 3) {
        const QString folder = QStringLiteral("qv/group%1").arg(p % 20);
        root.mkpath(folder);
        QFile(root.filePath(folder + QStringLiteral("/prog%1.exe").arg(p)))
            .open(QIODevice::WriteOnly);
        settings += "prog" + QByteArray::number(p) + ".exe=99.000\n";
    }
    QFile file(root.filePath(QStringLiteral("quorvane3/quorvane.ini")));
    file.open(QIODevice::WriteOnly);
    file.write(settings);
}

} // namespace

int main(int argc, char** argv) {
    QuorvaneApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each figure as soon as it is known
    QStringList args = app.arguments().mid(1);
    const bool unfixed = args.removeAll(QStringLiteral("--unfixed")) > 0;
    const bool untuned = args.removeAll(QStringLiteral("--untuned")) > 0;
    const int users = args.value(0, QStringLiteral("10000")).toInt();
    const int companies = args.value(1, QStringLiteral("100")).toInt();
    const int programs = args.value(2, QStringLiteral("1000")).toInt();

    QTemporaryDir temp;
    // A folder of its own, which the cluster script hands to the server's user when root.
    QTemporaryDir clusterDir(QDir::tempPath() + QStringLiteral("/quorvane-bench-pg-XXXXXX"));
    clusterDir.setAutoRemove(false);
    Cluster c{clusterDir.path(), 0, serverBin()};
    const QString created = run(clusterScript(), {QStringLiteral("create"), c.dir});
    c.port = created.trimmed().section(QLatin1Char('\n'), -1).toInt();
    if (c.port <= 0) {
        std::fprintf(stderr, "signin_scale: no cluster\n");
        return 1;
    }
    struct Remove {
        QString dir;
        ~Remove() { run(clusterScript(), {QStringLiteral("remove"), dir}); }
    } remove{c.dir};
    // The size a central server gets: the whole data set in memory.
    psql(c, "alter system set shared_buffers = '512MB';");
    run(clusterScript(), {QStringLiteral("stop"), c.dir});
    run(clusterScript(), {QStringLiteral("start"), c.dir});

    QFile generator(Source + QStringLiteral("/bench/scale-data.sql"));
    generator.open(QIODevice::ReadOnly);
    QElapsedTimer made;
    made.start();
    // The data set takes minutes: longer than the database's statement time-out.
    if (psql(c, "set statement_timeout = 0;\n" + generator.readAll() +
                    QStringLiteral("\ncall pg_temp.scale_data(%1, %2, %3, '%4', "
                                   "'%5');")
                        .arg(users)
                        .arg(companies)
                        .arg(programs)
                        .arg(BigUser, BigPassword)
                        .toUtf8())
            .isNull()) {
        std::fprintf(stderr, "signin_scale: the data set was not made\n");
        return 1;
    }
    std::printf("data set: %d users, %d companies, %d programs, %s grants, made in %.1f s\n", users,
                companies, programs,
                qPrintable(psql(c, "\\pset tuples_only on\nselect count(*) from "
                                   "quorvane.user_prog_db;")
                               .trimmed()),
                made.nsecsElapsed() / 1e9);
    if (unfixed) {
        psql(c, "drop policy own_rows on quorvane.user_prog_db;\n"
                "alter table quorvane.user_prog_db alter column username type text collate "
                "\"default\";\n"
                "create policy own_rows on quorvane.user_prog_db for all to quorvane_user "
                "using (username = current_user) with check (username = current_user);\n"
                "analyze quorvane.user_prog_db;");
        std::printf("user_prog_db.username in the default collation, as before update.sql\n");
    }
    if (untuned) {
        psql(c, "drop index quorvane.quorvane_prog_upgrade, quorvane.quorvane_prog_group;\n"
                "alter database quorvane reset random_page_cost;\n"
                "create or replace procedure quorvane.set_cname(name text) language plpgsql\n"
                "set search_path = pg_catalog, pg_temp as $$ begin\n"
                "if length(name) > 20 then raise exception 'too long'; end if;\n"
                "perform set_config('quorvane.cname', coalesce(name, ''), false); end $$;\n"
                "create or replace procedure quorvane.outsystem_date(inout d date)\n"
                "language plpgsql set search_path = pg_catalog, pg_temp as $$ begin\n"
                "d := current_date; end $$;");
        std::printf("without the sign-in's indexes, random_page_cost and SQL procedures\n");
    }

    qputenv("PGSERVICEFILE", (c.dir + QStringLiteral("/pg_service.conf")).toLocal8Bit());
    qputenv("QUORVANE_DRIVE_C", temp.filePath(QStringLiteral("drive")).toLocal8Bit());
    setMessageDialogs(nullptr);
    setProcessStarter(nullptr);
    prepareDrive(temp.filePath(QStringLiteral("drive")), programs);

    // User qvu17: first company and program as the generator gives them.
    const int company = (17 * 7) % companies + 1;
    const int prog = (17 * 31) % programs + 1;
    Statements one;
    {
        ProgramWindows w;
        one = statementsOf(w.form, w.installer, w.toolbarConf, QStringLiteral("CO%1").arg(company),
                           QStringLiteral("'Group %1'").arg(prog % 20), prog, company);
    }
    // Each statement's median time as qvu17, by name.
    const auto perUser = [&] {
        QByteArray script = "set role qvu17;\ncall quorvane.set_cname('CO" +
                            QByteArray::number(company) + "');\n\\timing on\n";
        for (const auto& [name, sql] : one.list)
            for (int i = 0; i < 5; ++i)
                script += "\\echo @" + name.toUtf8() + "\n" + sql.toUtf8() + "\n";
        const QString timed = psql(c, "\\o /dev/null\n" + script);
        QString current;
        QMap<QString, std::vector<double>> times;
        static const QRegularExpression time(QStringLiteral("^Time: ([0-9.]+) ms"));
        for (const QString& line : timed.split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1Char('@')))
                current = line.mid(1);
            else if (const auto m = time.match(line); m.hasMatch())
                times[current].push_back(m.captured(1).toDouble());
        }
        QMap<QString, double> medians;
        for (auto t = times.cbegin(); t != times.cend(); ++t)
            medians[t.key()] = median(t.value());
        return medians;
    };
    const QMap<QString, double> plainTimes = perUser();
    QString current;
    // Each query's scans, as qvu17's plan has them: a full read shows as a Seq Scan.
    QByteArray explain =
        "set role qvu17;\ncall quorvane.set_cname('CO" + QByteArray::number(company) + "');\n";
    for (const auto& [name, sql] : one.list)
        if (sql.startsWith(QLatin1String("select")))
            explain += "\\echo @" + name.toUtf8() + "\nexplain (costs off) " + sql.toUtf8() + "\n";
    QMap<QString, QStringList> scans;
    for (const QString& line : psql(c, explain).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1Char('@')))
            current = line.mid(1);
        else if (line.contains(QLatin1String(" Scan ")) &&
                 !line.contains(QLatin1String("Bitmap Index")))
            scans[current] << line.section(QStringLiteral("->  "), -1).trimmed();
    }
    std::printf("\nper-user statements of qvu17 (psql \\timing, unix socket, median of 5):\n");
    for (const auto& [name, sql] : one.list)
        std::printf("  %-16s %9.2f ms  %s\n", qPrintable(name), plainTimes.value(name),
                    qPrintable(scans.value(name).join(QStringLiteral("; "))));

    // The whole sign-in as the launcher sends it: one real sign-in of qvu17, as the server
    // logged it. pgbench signs in over TCP with TLS and SCRAM as a workstation does, as one
    // superuser that takes on a random user's role, whose four companies stand in for qvu17's.
    psql(c, "create role qvbench superuser login password 'Bench2026';\n"
            "alter role qvu17 login password 'Seventeen2026';\n"
            "alter role qvu17 set log_statement = 'all';");
    const QString serverLog = c.dir + QStringLiteral("/server.log");
    const qint64 logStart = QFileInfo(serverLog).size();
    launcherSignIn(QStringLiteral("qvu17"), QStringLiteral("Seventeen2026"), true);
    QThread::msleep(500); // the log is written by the server process as it goes
    const QStringList sent = LoggedStatements(serverLog, logStart);
    if (sent.isEmpty()) {
        std::fprintf(stderr, "signin_scale: no statements of the sign-in in %s\n",
                     qPrintable(serverLog));
        return 1;
    }
    QString user = QStringLiteral("\\set u random(1, %1)\n").arg(users);
    for (int k = 0; k < 4; ++k)
        user +=
            QStringLiteral("\\set c%1 (:u * 7 + %2) % %3 + 1\n").arg(k).arg(13 * k).arg(companies);
    user += QStringLiteral("set role qvu:u;\n");
    QString signIn = user;
    for (QString sql : sent) {
        for (int k = 0; k < 4; ++k)
            sql.replace(QStringLiteral("'CO%1'").arg((17 * 7 + 13 * k) % companies + 1),
                        QStringLiteral("('CO' || :c%1)").arg(k));
        signIn += sql + QLatin1Char('\n');
    }
    const QString floor = user + QStringLiteral("select 1;\n");

    QProcessEnvironment tcp = QProcessEnvironment::systemEnvironment();
    tcp.insert(QStringLiteral("PGPASSWORD"), QStringLiteral("Bench2026"));
    tcp.insert(QStringLiteral("PGSSLMODE"), QStringLiteral("verify-full"));
    tcp.insert(QStringLiteral("PGSSLROOTCERT"), c.dir + QStringLiteral("/tls/ca.crt"));
    const QStringList server = {QStringLiteral("-h"),      QStringLiteral("127.0.0.1"),
                                QStringLiteral("-p"),      QString::number(c.port),
                                QStringLiteral("-U"),      QStringLiteral("qvbench"),
                                QStringLiteral("quorvane")};
    const QString pgbench = c.bin + QStringLiteral("pgbench");
    const auto fullSpeed = [&](const QString& script) {
        return RunPgbench(pgbench, script,
                          QStringList{QStringLiteral("-C"), QStringLiteral("-c"),
                                      QStringLiteral("20"), QStringLiteral("-j"),
                                      QStringLiteral("2"), QStringLiteral("-T"),
                                      QStringLiteral("20")} +
                              server,
                          postmasterPid(c), tcp);
    };
    const auto offered = [&](const QString& rate) {
        return RunPgbench(pgbench, signIn,
                          QStringList{QStringLiteral("-C"), QStringLiteral("-c"),
                                      QStringLiteral("20"), QStringLiteral("-j"),
                                      QStringLiteral("2"), QStringLiteral("-T"),
                                      QStringLiteral("30"), QStringLiteral("-R"), rate} +
                              server,
                          postmasterPid(c), tcp);
    };
    std::printf("\none connection per sign-in over TCP, TLS and SCRAM, 20 clients, 20 s:\n");
    const Load bare = fullSpeed(floor);
    printLoad("the floor (connect, set role, select 1)", bare);
    const Load whole = fullSpeed(signIn);
    printLoad(qPrintable(QStringLiteral("the sign-in (%1 statements)").arg(sent.size())), whole);
    std::printf("  ratio %.2f x the floor's server CPU\n",
                bare.cpuMsEach > 0 ? whole.cpuMsEach / bare.cpuMsEach : 0.0);
    std::printf("offered load (pgbench -R), the sign-in, 30 s:\n");
    printLoad("3.3/s (1,000 workstations in 5 min)", offered(QStringLiteral("3.3")));
    printLoad("33/s (10,000 workstations in 5 min)", offered(QStringLiteral("33")));

    // Half of the programs in a rollout: an earlier release everyone has, and a new one two
    // days into its waves (10 % of the users and the pilot reached).
    psql(c, "insert into quorvane.release (prog_id, version, sha256, published_at, started_at)\n"
            "  select prog_id, version + 0.001, md5(prog_id::text) || md5(prog_id::text),\n"
            "         now() - interval '30 days', now() - interval '30 days'\n"
            "    from quorvane.program where prog_id % 2 = 0;\n"
            "insert into quorvane.release (prog_id, version, sha256, pilot, waves, started_at)\n"
            "  select prog_id, version + 0.002, md5(prog_id::text || 'n') || md5(prog_id::text),\n"
            "         true, (quorvane.parse_waves('pilot,10%@1d,50%@3d,100%@5d')).waves,\n"
            "         now() - interval '2 days'\n"
            "    from quorvane.program where prog_id % 2 = 0;\n"
            "analyze quorvane.release;");
    const QMap<QString, double> rolloutTimes = perUser();
    std::printf("\nhalf of the programs in a rollout, per-user statements of qvu17:\n"
                "  %-16s %12s %12s\n",
                "", "no rollout", "rollouts");
    for (const auto& [name, sql] : one.list)
        std::printf("  %-16s %9.2f ms %9.2f ms\n", qPrintable(name), plainTimes.value(name),
                    rolloutTimes.value(name));
    const Load rollout = fullSpeed(signIn);
    printLoad("the sign-in, no rollout", whole);
    printLoad("the sign-in, rollouts", rollout);
    std::printf("  ratio %.3f x the rate without rollouts\n",
                whole.rate > 0 ? rollout.rate / whole.rate : 0.0);

    // The big user: the launcher from OK to the built window, and psql with its statements.
    QByteArray big;
    {
        ProgramWindows w;
        const Statements s = statementsOf(w.form, w.installer, w.toolbarConf, QStringLiteral("CO1"),
                                          QStringLiteral("'Group 1'"), 1, 1);
        const auto text = [&s](const char* name) {
            for (const auto& [n, sql] : s.list)
                if (n == QLatin1String(name))
                    return sql.toUtf8() + "\n";
            return QByteArray();
        };
        big = text("companies") + text("upgrade list") + text("digests") + text("set company") +
              text("groups") + text("date") + text("groups") + text("programs");
        for (int k = 1; k <= companies; ++k)
            big += QString::fromUtf8(text("bar"))
                       .replace(QStringLiteral("'CO1'"), QStringLiteral("'CO%1'").arg(k))
                       .toUtf8();
        big += text("date");
    }
    QFile bigFile(temp.filePath(QStringLiteral("big.sql")));
    bigFile.open(QIODevice::WriteOnly);
    bigFile.write(big);
    bigFile.close();
    qputenv("PGPASSWORD", BigPassword.toUtf8());
    std::vector<double> launcher;
    std::vector<Run> peer;
    for (int i = 0; i < 3; ++i) {
        launcher.push_back(launcherSignIn(BigUser, BigPassword, false));
        peer.push_back(
            Measure({c.bin + QStringLiteral("psql"), QStringLiteral("-X"), QStringLiteral("-q"),
                     QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("-f"),
                     bigFile.fileName(), QStringLiteral("service=ORCL user=") + BigUser}));
    }
    const double ours = median(launcher);
    const double theirs = Median(peer).seconds;
    std::printf("\nbig user (%d companies x %d programs), OK to main window, median of 3:\n"
                "  launcher %7.2f s\n  psql     %7.2f s (same statements, TCP)\n  ratio    "
                "%7.2f x psql\n",
                companies, programs, ours, theirs, theirs > 0 ? ours / theirs : 0.0);

    // The other way to spare a new session PL/pgSQL's start: load it with the server.
    psql(c, "alter system set shared_preload_libraries = 'plpgsql';");
    run(clusterScript(), {QStringLiteral("stop"), c.dir});
    run(clusterScript(), {QStringLiteral("start"), c.dir});
    std::printf("\nwith PL/pgSQL preloaded (shared_preload_libraries), as above:\n");
    printLoad("the sign-in", fullSpeed(signIn));
    return 0;
}
