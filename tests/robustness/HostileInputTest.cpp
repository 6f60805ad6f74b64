// Hostile files for the parsers: settings files of random bytes, program files whose resource
// sizes lie within the file, bitmaps whose headers claim more than the blob holds. Each ends in
// a defined result, within a fixed memory budget.
#include "data/ProfileFile.h"
#include "platform/IconBlob.h"
#include "platform/IconExtract.h"
#include "platform/PeIconReader.h"
#include "programs/TestIcons.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <sys/resource.h>
#include <unistd.h>

namespace {

const QString IniPath = QStringLiteral("c:\\quorvane3\\quorvane.ini");
// The sections and keys the settings tests look at; the random files use the same names.
const QStringList sections = {"a", "B", "", "dblist"};
const QStringList keys = {"k", "K2", "x"};

// The peak resident memory of this process so far, in bytes.
qint64 peakResident() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_maxrss) * 1024;
}

// Random bytes, or a soup of the pieces the settings format is made of.
QByteArray randomFile(QRandomGenerator& rng, bool soup) {
    static const QByteArray pieces[] = {"[",    "]",
                                        "=",    "\r\n",
                                        "\n",   "\r",
                                        ";",    " ",
                                        "\t",   "a",
                                        "B",    "k",
                                        "K2",   "x",
                                        "[a]",  "[b]",
                                        "[]",   "k=",
                                        "K2=",  "x =",
                                        "\xa0", "\x85",
                                        "\xe9", QByteArray("\0", 1),
                                        "\xff", "[A]\r\nk=1\r\n",
                                        "==",   "[[",
                                        "]]",   "  [ b ]"};
    const int size = int(rng.bounded(soup ? 3000 : 2000));
    QByteArray data;
    if (!soup) {
        data.resize(size);
        for (char& c : data)
            c = char(rng.bounded(256));
        return data;
    }
    while (data.size() < size)
        data += pieces[rng.bounded(int(std::size(pieces)))];
    return data;
}

// A value the format keeps as written: no line break, no blank at either end.
QString randomValue(QRandomGenerator& rng) {
    static const QString middle = QStringLiteral("ab Z;=[]#\u00e9\u00f5\u00ff9");
    QString value = QStringLiteral("v");
    const int length = int(rng.bounded(40));
    for (int i = 0; i < length; ++i)
        value += middle.at(rng.bounded(int(middle.size())));
    return value + QLatin1Char('e');
}

QByteArray bitmap(int side) {
    return TestIcons::encoded(TestIcons::filled(side, side, Qt::red), "BMP");
}

} // namespace

class HostileInputTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_drive;

    QString disk(const QString& name) const { return m_drive.path() + QLatin1Char('/') + name; }

    // Every probed key's value, section by section; "<none>" where the reader finds none.
    QStringList probe(const ProfileFile& ini) const {
        QStringList values;
        for (const QString& section : sections) {
            QStringList names;
            ini.readSection(section, names);
            values << names.join(QLatin1Char('|'));
            for (const QString& key : keys)
                values << ini.readString(section, key, QStringLiteral("<none>"));
        }
        return values;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_drive.isValid());
        qputenv("QUORVANE_DRIVE_C", m_drive.path().toLocal8Bit());
        QVERIFY(QDir().mkpath(disk("quorvane3")));
        // Whatever a hostile file makes the code below allocate must fit into this.
        rlimit limit{};
        QCOMPARE(getrlimit(RLIMIT_AS, &limit), 0);
        QFile statm(QStringLiteral("/proc/self/statm")); // first: address space in pages
        QVERIFY(statm.open(QIODevice::ReadOnly));
        const rlim_t inUse =
            rlim_t(statm.readAll().split(' ').first().toLongLong()) * rlim_t(sysconf(_SC_PAGESIZE));
        QVERIFY(inUse > 0);
        limit.rlim_cur = qMin(limit.rlim_max, inUse + rlim_t(512) * 1024 * 1024);
        QCOMPARE(setrlimit(RLIMIT_AS, &limit), 0);
    }

    // Random files read alike every time, and a write into them changes exactly the one key:
    // every other key the reader found keeps its value.
    void settingsFileOfRandomBytes() {
        ProfileFile ini(IniPath);
        int found = 0; // keys the reader found before the write, so the soup means something
        for (int round = 0; round < 400; ++round) {
            const quint32 seed = 1000 + round;
            QRandomGenerator rng(seed);
            const QByteArray bytes = randomFile(rng, round % 2 == 1);
            QVERIFY(TestIcons::writeFile(disk("quorvane3/quorvane.ini"), bytes));
            const QStringList before = probe(ini);
            QCOMPARE(probe(ini), before);
            found += int(before.size() - before.count(QStringLiteral("<none>")) -
                         before.count(QString()));

            const int s = int(rng.bounded(int(sections.size())));
            const int k = int(rng.bounded(int(keys.size())));
            const QString value = randomValue(rng);
            ini.writeString(sections[s], keys[k], value);
            QCOMPARE(ini.readString(sections[s], keys[k], QString()), value);

            QStringList expected = before;
            const QStringList after = probe(ini);
            // The changed key's value, and the section's key list, which may have gained it.
            const int listSlot = s * int(keys.size() + 1);
            expected[listSlot + 1 + k] = value;
            expected[listSlot] = after[listSlot];
            QVERIFY2(after == expected, qPrintable(QStringLiteral("seed %1").arg(seed)));
            QStringList names;
            ini.readSection(sections[s], names);
            QVERIFY2(names.contains(keys[k], Qt::CaseInsensitive),
                     qPrintable(QStringLiteral("seed %1").arg(seed)));
        }
        QVERIFY2(found > 500, qPrintable(QString::number(found)));
    }

    // A megabyte of random bytes: read, written into and read again within the budget.
    void largeRandomSettingsFile() {
        QRandomGenerator rng(77);
        QByteArray bytes(1024 * 1024, '\0');
        for (char& c : bytes)
            c = char(rng.bounded(256));
        QVERIFY(TestIcons::writeFile(disk("quorvane3/quorvane.ini"), bytes));
        ProfileFile ini(IniPath);
        const QStringList before = probe(ini);
        ini.writeString(QStringLiteral("lastuser"), QStringLiteral("username"),
                        QStringLiteral("mari"));
        QCOMPARE(probe(ini), before);
        QCOMPARE(ini.readString(QStringLiteral("lastuser"), QStringLiteral("username"), QString()),
                 QStringLiteral("mari"));
    }

    // Resource sizes that lie but stay inside a large file pass every bounds check: what is
    // copied and decoded must still be one bounded image.
    void peResourceSizesThatFitTheFile() {
        TestIcons::PeLayout layout;
        QByteArray pe = TestIcons::peFile({{TestIcons::dibImage(32, qRgb(0, 180, 0))}}, &layout);
        // One section of 6 MiB, so sizes up to the image limit point at bytes that exist.
        const quint32 section = 6 * 1024 * 1024;
        pe.resize(layout.resourceStart + section, '\x5a');
        TestIcons::putU32(pe, layout.sectionTable + 8, section);
        TestIcons::putU32(pe, layout.sectionTable + 16, section);
        const qint64 peak = peakResident();
        const quint32 iconEntry = layout.resourceStart + layout.firstDataEntry;
        const quint32 groupEntry = iconEntry + 16;
        const quint32 sizes[] = {quint32(MaxIconImageBytes), quint32(MaxIconImageBytes) + 1,
                                 0x200000u, 40u, 0u};
        int serial = 0;
        for (quint32 entry : {iconEntry, groupEntry}) {
            for (quint32 size : sizes) {
                QByteArray damaged = pe;
                TestIcons::putU32(damaged, entry + 4, size);
                // The icon's bitmap header claims the largest picture an icon may have.
                const quint32 iconData = layout.resourceStart +
                                         qFromLittleEndian<quint32>(pe.constData() + iconEntry) -
                                         layout.resourceRva;
                TestIcons::putU32(damaged, iconData + 4, 1024);
                TestIcons::putU32(damaged, iconData + 8, 2048);
                const QString name = QStringLiteral("lie-%1.exe").arg(++serial);
                QVERIFY(TestIcons::writeFile(disk(name), damaged));
                const ExtractedIcon icon = ExtractIconA(QStringLiteral("c:\\") + name, 0);
                QFile::remove(disk(name));
                QVERIFY2(icon.result <= 1 ? icon.image.isNull()
                                          : icon.result == 2 && icon.image.size() == QSize(32, 32),
                         qPrintable(name));
            }
        }
        // Twelve variants of a 6 MiB file, none kept: the peak grows by far less than that.
        QVERIFY2(peakResident() - peak < 64 * 1024 * 1024,
                 qPrintable(QString::number(peakResident() - peak)));
    }

    // Bitmap headers that claim more than follows them give no picture, never one made of
    // bytes beyond the blob; nor does a blob too big for an icon, however sound.
    void bitmapHeaderClaimsMoreThanTheBlob_data() {
        QTest::addColumn<QByteArray>("blob");
        const QByteArray whole = bitmap(16);
        // File header: total size at 2, pixel data offset at 10; info header from 14.
        QTest::newRow("pixels cut") << whole.left(whole.size() - 100);
        QTest::newRow("pixels cut, file size kept") << [&] {
            QByteArray b = whole.left(whole.size() - 100);
            qToLittleEndian<quint32>(quint32(whole.size()), b.data() + 2);
            return b;
        }();
        QTest::newRow("offset past the end") << [&] {
            QByteArray b = whole;
            qToLittleEndian<quint32>(quint32(whole.size()) + 4096, b.data() + 10);
            return b;
        }();
        QTest::newRow("offset at 2 GiB") << [&] {
            QByteArray b = whole;
            qToLittleEndian<quint32>(0x80000000u, b.data() + 10);
            return b;
        }();
        QTest::newRow("1024 x 1024 claimed, 16 x 16 present") << [&] {
            QByteArray b = whole;
            qToLittleEndian<qint32>(1024, b.data() + 18);
            qToLittleEndian<qint32>(1024, b.data() + 22);
            return b;
        }();
        QTest::newRow("header length past the blob") << [&] {
            QByteArray b = whole;
            qToLittleEndian<quint32>(0x7ffffff0, b.data() + 14);
            return b;
        }();
        QTest::newRow("palette of 2^31 colours") << [&] {
            QImage image(16, 16, QImage::Format_Indexed8);
            image.setColorCount(2);
            image.setColor(0, qRgb(255, 0, 0));
            image.setColor(1, qRgb(0, 0, 255));
            image.fill(1);
            QByteArray b = TestIcons::encoded(image, "BMP");
            qToLittleEndian<quint32>(0x80000000u, b.data() + 46);
            return b;
        }();
        QTest::newRow("whole 512 x 512 bitmap") << bitmap(512);
        QTest::newRow("blob header and pixels cut")
            << TestIcons::blobWithHeader(whole.left(whole.size() - 300), quint32(whole.size()));
    }
    void bitmapHeaderClaimsMoreThanTheBlob() {
        QFETCH(QByteArray, blob);
        const qint64 peak = peakResident();
        QVERIFY(decodeIconBlob(blob).isNull());
        QVERIFY(peakResident() - peak < 32 * 1024 * 1024);
    }
};

QTEST_GUILESS_MAIN(HostileInputTest)
#include "HostileInputTest.moc"
