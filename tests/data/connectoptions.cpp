// Connect options as a table, service file in and libpq options out; and the service file read
// as libpq itself reads it, checked against libpq's own result.
#include "data/ConnectOptions.h"
#include "data/ServiceFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <libpq-fe.h>

#include <algorithm>

namespace {

// What libpq takes from the environment and its defaults, with PGSERVICE naming `service`.
QMap<QString, QString> libpqDefaults(const QString& file, const QString& service) {
    qputenv("PGSERVICEFILE", file.toLocal8Bit());
    qputenv("PGSERVICE", service.toUtf8());
    QMap<QString, QString> values;
    PQconninfoOption* options = PQconndefaults();
    for (PQconninfoOption* o = options; o && o->keyword; ++o)
        if (o->val)
            values.insert(QString::fromUtf8(o->keyword), QString::fromUtf8(o->val));
    PQconninfoFree(options);
    qunsetenv("PGSERVICE");
    return values;
}

} // namespace

class ConnectOptionsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        for (const char* name : {"PGHOST", "PGHOSTADDR", "PGPORT", "PGDATABASE", "PGSSLMODE"})
            qunsetenv(name);
        qputenv("PGSYSCONFDIR", "/nonexistent");
    }

    void optionsFollowTheServiceFile_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("learnedOn"); // the file when a connect reached `reached`
        QTest::addColumn<QString>("reached");   // host:port
        QTest::addColumn<QByteArray>("pgSslMode");
        QTest::addColumn<QStringList>("options"); // after the time bounds
        const QString ha = "[HA]\nhost=a,b\nport=1,2\ndbname=q\n";
        const QStringList haVerified{"service='HA'", "sslmode=verify-full"};
        QTest::newRow("service, verified TLS")
            << "[Orcl]\nhost=db\n"
            << "ORCL"
            << ""
            << "" << QByteArray() << QStringList{"service='Orcl'", "sslmode=verify-full"};
        QTest::newRow("the service's sslmode")
            << "[ORCL]\nhost=db\nsslmode=prefer\n"
            << "ORCL"
            << ""
            << "" << QByteArray() << QStringList{"service='ORCL'"};
        QTest::newRow("PGSSLMODE") << "[ORCL]\nhost=db\n"
                                   << "ORCL"
                                   << ""
                                   << "" << QByteArray("require") << QStringList{"service='ORCL'"};
        QTest::newRow("address") << ""
                                 << "DB.EXAMPLE.ORG:5433/QUORVANE"
                                 << ""
                                 << "" << QByteArray()
                                 << QStringList{"host='DB.EXAMPLE.ORG'", "port='5433'",
                                                "dbname='quorvane'", "sslmode=verify-full"};
        QTest::newRow("address, quoted database")
            << ""
            << "db/\"PROD\""
            << ""
            << "" << QByteArray()
            << QStringList{"host='db'", "dbname='PROD'", "sslmode=verify-full"};
        QTest::newRow("neither service nor address")
            << ""
            << "NO SUCH"
            << ""
            << "" << QByteArray() << QStringList{"service='NO SUCH'", "sslmode=verify-full"};
        QTest::newRow("the second host answered: first from then on")
            << ha << "HA" << ha << "b:2" << QByteArray()
            << QStringList{"service='HA'", "host='b,a'", "port='2,1'", "sslmode=verify-full"};
        QTest::newRow("one port for both hosts")
            << "[HA]\nhost=a,b\nport=5432\n"
            << "HA"
            << "[HA]\nhost=a,b\nport=5432\n"
            << "b:5432" << QByteArray()
            << QStringList{"service='HA'", "host='b,a'", "sslmode=verify-full"};
        QTest::newRow("the first host answered")
            << ha << "HA" << ha << "a:1" << QByteArray() << haVerified;
        QTest::newRow("hosts changed: the file decides")
            << "[HA]\nhost=c,b\nport=1,2\ndbname=q\n"
            << "HA" << ha << "b:2" << QByteArray() << haVerified;
        QTest::newRow("ports changed") << "[HA]\nhost=a,b\nport=1,3\ndbname=q\n"
                                       << "HA" << ha << "b:2" << QByteArray() << haVerified;
        QTest::newRow("database changed") << "[HA]\nhost=a,b\nport=1,2\ndbname=r\n"
                                          << "HA" << ha << "b:2" << QByteArray() << haVerified;
        QTest::newRow("a second host line is not libpq's")
            << ha + "host=x,y\n"
            << "HA" << ha << "b:2" << QByteArray()
            << QStringList{"service='HA'", "host='b,a'", "port='2,1'", "sslmode=verify-full"};
        QTest::newRow("an odd header ends the section")
            << "[HA]\nhost=a\n[PROD] production\nsslmode=disable\n"
            << "HA"
            << ""
            << "" << QByteArray() << QStringList{"service='HA'", "sslmode=verify-full"};
    }
    void optionsFollowTheServiceFile() {
        QFETCH(QString, file);
        QFETCH(QString, server);
        QFETCH(QString, learnedOn);
        QFETCH(QString, reached);
        QFETCH(QByteArray, pgSslMode);
        QFETCH(QStringList, options);
        ConnectRequest request;
        request.serverName = server;
        request.service = ServiceFile::parse(file.toUtf8(), server);
        request.sslModeInEnvironment = !pgSslMode.isEmpty();
        request.hostOrder = HostOrder::learn(ServiceFile::parse(learnedOn.toUtf8(), server),
                                             reached.section(':', 0, 0), reached.section(':', 1));
        QStringList got = connectOptions(request);
        got.erase(std::remove_if(got.begin(), got.end(),
                                 [](const QString& o) {
                                     return o.startsWith("connect_timeout") ||
                                            o.startsWith("keepalives") ||
                                            o.startsWith("tcp_user_timeout");
                                 }),
                  got.end());
        QCOMPARE(got, options);
    }

    // Where the section ends and which of two values counts decide the server and its TLS.
    void serviceReadAsLibpqReadsIt_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("service");
        QTest::newRow("text after the next header")
            << "[ORCL]\nhost=o\n[PROD] production\nsslmode=disable\n"
            << "ORCL";
        QTest::newRow("the header with text after it")
            << "[ORCL]\nhost=o\n[PROD] production\nsslmode=disable\nhost=p\n"
            << "PROD";
        QTest::newRow("next header without ]") << "[ORCL]\nhost=o\n[PROD\nsslmode=disable\n"
                                               << "ORCL";
        QTest::newRow("a header without ] names nothing") << "[PROD\nhost=p\n"
                                                          << "PROD";
        QTest::newRow("a lone [") << "[ORCL]\nhost=o\n[\nport=7\n"
                                  << "ORCL";
        QTest::newRow("indented header, blanks, comments")
            << "[ORCL]  \n  host=o  \n# port=7\n\n  [X]\nsslmode=disable\n"
            << "ORCL";
        QTest::newRow("the first of two values") << "[ORCL]\nhost=o\nhost=p\n"
                                                 << "ORCL";
        QTest::newRow("letter case") << "[orcl]\nhost=l\n[ORCL]\nhost=u\n"
                                     << "ORCL";
        QTest::newRow("a name that only begins the header") << "[ORCLX]\nhost=x\n"
                                                            << "ORCL";
    }
    void serviceReadAsLibpqReadsIt() {
        QFETCH(QString, file);
        QFETCH(QString, service);
        QTemporaryDir dir;
        QFile services(dir.filePath("services"));
        QVERIFY(services.open(QIODevice::WriteOnly));
        services.write(file.toUtf8());
        services.close();
        const ServiceFile::Entry ours = ServiceFile::parse(file.toUtf8(), service);
        // libpq matches the spelling the launcher found, as the launcher hands it over.
        const QMap<QString, QString> none = libpqDefaults(services.fileName(), QString());
        const QMap<QString, QString> libpq =
            libpqDefaults(services.fileName(), ours.name.isEmpty() ? service : ours.name);
        for (const char* key : {"host", "port", "dbname", "sslmode"}) {
            const QString k = QString::fromLatin1(key);
            QVERIFY2(ours.keys.value(k, none.value(k)) == libpq.value(k),
                     qPrintable(k + ": " + ours.keys.value(k) + " / " + libpq.value(k)));
        }
    }
};

QTEST_GUILESS_MAIN(ConnectOptionsTest)
#include "connectoptions.moc"
