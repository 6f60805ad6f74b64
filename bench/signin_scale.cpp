// A central server as a large organisation runs it: 10,000 users, 100 companies, 1,000
// programs, 2.1 M grants (bench/scale-data.sql, made on the server). Prints, in one run:
//  - each per-user statement's time for one user (psql over the unix socket, median of 5),
//  - pgbench replaying one sign-in per connection at 20 clients,
//  both without releases in waves and with half of the programs in a rollout, side by side,
//  - one big user's (100 companies x 1,000 programs) OK-to-main-window time in the launcher
//    against psql running the same statements over TCP, median of 3 each.
// --unfixed first puts user_prog_db.username back in the default collation, as databases had
// it before update.sql, for the figures before.
//
//   signin_scale [--unfixed] [users companies programs]
#include "Measure.h"

#include "data/Query.h"
#include "launcher/ProgramWindows.h"
#include "launcher/QuorvaneApplication.h"
#include "platform/MessageDialogs.h"
#include "platform/ProcessStart.h"
#include "signin/QuorvaneUserLogin.h"
#include "signin/passwd2.h"
#include "toolbarconf/ToolBarConf.h"
#include "upgrade/cinstall.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
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

// Seconds from OK in the login dialog to the built main window, for the big user.
double launcherSignIn() {
    ProgramWindows w;
    QElapsedTimer clock;
    QTimer::singleShot(0, &w.login, [&] {
        w.login.ConnComboBox->setEditText(QStringLiteral("ORCL"));
        w.login.LoginEdit->setText(BigUser);
        w.login.PasswdEdit->setText(BigPassword);
        clock.start();
        w.login.BitBtn1->click();
    });
    w.form.show();
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (w.form.TabSet->count() == 0)
        std::fprintf(stderr, "signin_scale: the launcher built no tabs\n");
    return seconds;
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

    // One sign-in per connection, a random user each time: pgbench's variables stand in for
    // that user's companies and first program group.
    QByteArray bench = "\\set u random(1, " + QByteArray::number(users) + ")\n";
    for (int k = 0; k < 4; ++k)
        bench += "\\set c" + QByteArray::number(k) + " (:u * 7 + " + QByteArray::number(13 * k) +
                 ") % " + QByteArray::number(companies) + " + 1\n";
    bench += "\\set g ((:u * 31) % " + QByteArray::number(programs) + " + 1) % 20\n";
    bench += "set role qvu:u;\n";
    {
        ProgramWindows w;
        const Statements s = statementsOf(w.form, w.installer, w.toolbarConf, QString(),
                                          QStringLiteral("('Group ' || :g)"), 0, 0);
        for (const auto& [name, sql] : s.list) {
            if (name == QLatin1String("set company"))
                bench += "call quorvane.set_cname('CO' || :c0);\n";
            else if (name == QLatin1String("bar"))
                for (int k = 0; k < 4; ++k)
                    bench +=
                        QString(sql)
                            .replace(QStringLiteral("''"), QStringLiteral("('CO' || :c%1)").arg(k))
                            .toUtf8() +
                        "\n";
            else if (name == QLatin1String("companies") || name == QLatin1String("upgrade list") ||
                     name == QLatin1String("digests") || name == QLatin1String("groups") ||
                     name == QLatin1String("programs") || name == QLatin1String("date"))
                bench += sql.toUtf8() + "\n";
        }
    }
    QFile benchFile(temp.filePath(QStringLiteral("signin.pgbench")));
    benchFile.open(QIODevice::WriteOnly);
    benchFile.write(bench);
    benchFile.close();
    const QString seconds = unfixed ? QStringLiteral("60") : QStringLiteral("20");
    const auto signInRate = [&] {
        const QString pgbench =
            run(c.bin + QStringLiteral("pgbench"),
                {QStringLiteral("-n"), QStringLiteral("-C"), QStringLiteral("-c"),
                 QStringLiteral("20"), QStringLiteral("-j"), QStringLiteral("2"),
                 QStringLiteral("-T"), seconds, QStringLiteral("-f"), benchFile.fileName(),
                 QStringLiteral("-h"), c.dir, QStringLiteral("-p"), QString::number(c.port),
                 QStringLiteral("-U"), QStringLiteral("postgres"), QStringLiteral("quorvane")});
        static const QRegularExpression tps(QStringLiteral("tps = ([0-9.]+)"));
        return tps.match(pgbench).captured(1).toDouble();
    };
    const QMap<QString, double> plainTimes = perUser();
    const double plainRate = signInRate();
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
    const double rolloutRate = signInRate();
    std::printf("\nper-user statements of qvu17 (psql \\timing, unix socket, median of 5):\n"
                "  %-16s %12s %12s\n",
                "", "no rollout", "rollouts");
    for (const auto& [name, sql] : one.list)
        std::printf("  %-16s %9.2f ms %9.2f ms\n", qPrintable(name), plainTimes.value(name),
                    rolloutTimes.value(name));
    std::printf("\npgbench, one sign-in per connection, 20 clients, %s s:\n"
                "  no rollout %8.1f sign-ins/s\n  rollouts   %8.1f sign-ins/s (%.3f x)\n",
                qPrintable(seconds), plainRate, rolloutRate,
                plainRate > 0 ? rolloutRate / plainRate : 0.0);

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
        launcher.push_back(launcherSignIn());
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
    return 0;
}
