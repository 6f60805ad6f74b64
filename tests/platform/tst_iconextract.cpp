#include "platform/IconExtract.h"
#include "programs/TestIcons.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using TestIcons::dibImage;
using TestIcons::pngImage;

namespace {

const QRgb Red = qRgb(200, 0, 0);
const QRgb Green = qRgb(0, 180, 0);
const QRgb Blue = qRgb(0, 0, 210);

// A program file that an upgrade cuts short while the icon reader is at it: the file shrinks
// on disk just before the given read.
class ShrinkingFile : public QFile {
public:
    ShrinkingFile(const QString& path, int cutAtRead, qint64 cutTo)
        : QFile(path), m_cutAtRead(cutAtRead), m_cutTo(cutTo) {}

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        if (++m_reads == m_cutAtRead) {
            QFile::resize(fileName(), m_cutTo);
        }
        return QFile::readData(data, maxSize);
    }

private:
    int m_cutAtRead;
    qint64 m_cutTo;
    int m_reads = 0;
};

} // namespace

class TestIconExtract : public QObject {
    Q_OBJECT

    QTemporaryDir m_drive;

    int m_serial = 0;

    void write(const QString& name, const QByteArray& bytes) {
        QVERIFY(TestIcons::writeFile(m_drive.path() + "/" + name, bytes));
    }

    // A damaged variant in a file of its own: rewriting one file in place would make the file
    // system flush it each time, which is slow.
    ExtractedIcon extractFrom(const QByteArray& bytes) {
        const QString name = QStringLiteral("damaged-%1.exe").arg(++m_serial);
        if (!TestIcons::writeFile(m_drive.path() + "/" + name, bytes)) {
            return {99, {}};
        }
        const ExtractedIcon icon = ExtractIconA("c:\\" + name, 0);
        QFile::remove(m_drive.path() + "/" + name);
        return icon;
    }

    static void verifyIcon(const ExtractedIcon& icon, QRgb color) {
        QVERIFY(icon.result >= 2);
        QCOMPARE(icon.image.size(), QSize(32, 32));
        QCOMPARE(icon.image.pixel(0, 0), color);
        QCOMPARE(icon.image.pixel(31, 31), color);
    }

    // Every result a damaged file gives must be one of the three kinds, with a usable image
    // whenever it claims an icon.
    static bool sane(const ExtractedIcon& icon) {
        return icon.result <= 1 ? icon.image.isNull()
                                : icon.result == 2 && icon.image.size() == QSize(32, 32);
    }

private slots:
    void initTestCase() {
        QVERIFY(m_drive.isValid());
        qputenv("QUORVANE_DRIVE_C", m_drive.path().toLocal8Bit());
    }

    void icoFilePicksTheIconSize() {
        write("three.ico",
              TestIcons::icoFile({dibImage(16, Red), dibImage(32, Green), dibImage(48, Blue)}));
        verifyIcon(ExtractIconA("c:\\three.ico", 0), Green);
        // An .ico file holds one icon only.
        QCOMPARE(ExtractIconA("c:\\three.ico", 1).result, quintptr(0));
        // Without the icon size the nearest is scaled, the larger before the smaller.
        write("near.ico", TestIcons::icoFile({dibImage(16, Red), dibImage(48, Blue)}));
        verifyIcon(ExtractIconA("c:\\near.ico", 0), Blue);
        write("png.ico", TestIcons::icoFile({pngImage(64, Green)}));
        verifyIcon(ExtractIconA("C:\\png.ico", 0), Green);
    }

    void programFileIconResources() {
        write("ledger.exe",
              TestIcons::peFile({{dibImage(16, Red), dibImage(32, Green)}, {dibImage(32, Blue)}}));
        verifyIcon(ExtractIconA("c:\\ledger.exe", 0), Green);
        verifyIcon(ExtractIconA("c:\\ledger.exe", 1), Blue);
        QCOMPARE(ExtractIconA("c:\\ledger.exe", 2).result, quintptr(0));
        // The source cut from a command line ends in a blank, which names the same file.
        verifyIcon(ExtractIconA("c:\\ledger.exe ", 0), Green);
        write("big.exe", TestIcons::peFile({{pngImage(256, Red), dibImage(48, Blue)}}));
        verifyIcon(ExtractIconA("c:\\big.exe", 0), Blue);
        write("noicons.exe", TestIcons::peFile({}));
        QCOMPARE(ExtractIconA("c:\\noicons.exe", 0).result, quintptr(0));
    }

    void filesWithoutIcons() {
        write("readme.txt", "Quorvane client\r\n");
        write("empty.exe", "");
        write("dos.exe", QByteArray("MZ") + QByteArray(100, '\0'));
        QDir().mkpath(m_drive.path() + "/folder.exe");
        QCOMPARE(ExtractIconA("c:\\readme.txt", 0).result, quintptr(1));
        QCOMPARE(ExtractIconA("c:\\empty.exe", 0).result, quintptr(1));
        QCOMPARE(ExtractIconA("c:\\dos.exe", 0).result, quintptr(0));
        QCOMPARE(ExtractIconA("c:\\missing.exe", 0).result, quintptr(0));
        QCOMPARE(ExtractIconA("c:\\folder.exe", 0).result, quintptr(0));
        QCOMPARE(ExtractIconA("", 0).result, quintptr(0));
        QCOMPARE(ExtractIconA("d:\\readme.txt", 0).result, quintptr(0));
        QVERIFY(ExtractIconA("c:\\missing.exe", 0).image.isNull());
    }

    void truncatedFilesNeverCrash() {
        TestIcons::PeLayout layout;
        const QByteArray pe = TestIcons::peFile({{dibImage(32, Green)}}, &layout);
        const QByteArray dibIco = TestIcons::icoFile({dibImage(32, Green)});
        const QByteArray pngIco = TestIcons::icoFile({pngImage(32, Green)});
        // The section of a program file is padded to 512 bytes; cutting only padding is harmless.
        const std::pair<QByteArray, qsizetype> files[] = {
            {pe, pe.size() - 512}, {dibIco, dibIco.size()}, {pngIco, pngIco.size()}};
        for (const auto& [whole, intact] : files) {
            for (qsizetype length = 0; length < whole.size(); length += 3) {
                const ExtractedIcon icon = extractFrom(whole.left(length));
                QVERIFY2(sane(icon) && (icon.result != 2 || length >= intact),
                         qPrintable(QString::number(length)));
            }
        }
    }

    void fileCutWhileReadGivesNoIcon() {
        TestIcons::PeLayout layout;
        const QByteArray pe = TestIcons::peFile({{dibImage(32, Green)}}, &layout);
        // Cut after the first look at the file: into the headers, into the resource tree, and
        // into the icon's image (the last 512 bytes are padding).
        for (const qsizetype cutTo :
             {qsizetype(64), qsizetype(layout.resourceStart) + 8, pe.size() - 600}) {
            const QString path = m_drive.path() + QStringLiteral("/shrinking.exe");
            QVERIFY(TestIcons::writeFile(path, pe));
            ShrinkingFile file(path, 2, cutTo);
            QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
            const ExtractedIcon icon = extractIcon(file, 0);
            QVERIFY2(icon.result == 0 && icon.image.isNull(), qPrintable(QString::number(cutTo)));
        }
    }

    void lyingTablesNeverCrash() {
        TestIcons::PeLayout layout;
        const QByteArray pe =
            TestIcons::peFile({{dibImage(16, Red), dibImage(32, Green)}}, &layout);
        // Every 32-bit field of the headers and of the resource tree, overwritten in turn with
        // values that point nowhere, at the root (a loop) or claim huge sizes.
        const qsizetype treeEnd = layout.resourceStart + layout.firstDataEntry + 3 * 16;
        const quint32 lies[] = {0xffffffffu, 0x7fffffffu, 0x80000000u, 0x80000010u, 0x10000u};
        for (qsizetype at = 0; at + 4 <= treeEnd; at += 2) {
            for (quint32 lie : lies) {
                QByteArray damaged = pe;
                TestIcons::putU32(damaged, at, lie);
                QVERIFY2(sane(extractFrom(damaged)), qPrintable(QString::number(at)));
            }
        }
    }

    void resourceLoopAndHugeCounts() {
        TestIcons::PeLayout layout;
        const QByteArray pe = TestIcons::peFile({{dibImage(32, Green)}}, &layout);
        const qsizetype groupEntry = layout.resourceStart + layout.groupTypeDirectory + 16;
        // The group's name entry points back at the root directory.
        QByteArray loop = pe;
        TestIcons::putU32(loop, groupEntry + 4, 0x80000000u);
        write("loop.exe", loop);
        QCOMPARE(ExtractIconA("c:\\loop.exe", 0).result, quintptr(0));
        // The resource tree claims 65535 + 65535 entries in its root.
        QByteArray many = pe;
        TestIcons::putU16(many, layout.resourceStart + 12, 0xffff);
        TestIcons::putU16(many, layout.resourceStart + 14, 0xffff);
        write("many.exe", many);
        QVERIFY(sane(ExtractIconA("c:\\many.exe", 0)));
        // An icon directory naming the same image 65535 times costs no extra memory.
        QByteArray ico = TestIcons::icoFile({dibImage(32, Green)});
        TestIcons::putU16(ico, 4, 0xffff);
        write("repeat.ico", ico);
        QVERIFY(sane(ExtractIconA("c:\\repeat.ico", 0)));
        // Image headers that claim enormous sizes are no icons.
        TestIcons::Image huge = dibImage(32, Green);
        TestIcons::putU32(huge.data, 4, 0x40000000);
        TestIcons::putU32(huge.data, 8, 0x7ffffff0);
        write("huge.ico", TestIcons::icoFile({huge}));
        QCOMPARE(ExtractIconA("c:\\huge.ico", 0).result, quintptr(0));
        TestIcons::Image hugePng = pngImage(32, Green);
        TestIcons::putU32(hugePng.data, 16, 0x00ffffff);
        write("hugepng.ico", TestIcons::icoFile({hugePng}));
        QCOMPARE(ExtractIconA("c:\\hugepng.ico", 0).result, quintptr(0));
    }
};

QTEST_GUILESS_MAIN(TestIconExtract)
#include "tst_iconextract.moc"
