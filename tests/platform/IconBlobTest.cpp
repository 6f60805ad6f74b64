// Icon blobs: Windows bitmaps with and without the 8-byte header; anything else gives no icon.
#include "platform/IconBlob.h"
#include "programs/TestIcons.h"

#include <QtEndian>
#include <QtTest>

namespace {

QByteArray bitmap(int width, int height, QColor color) {
    return TestIcons::encoded(TestIcons::filled(width, height, color), "BMP");
}

} // namespace

class IconBlobTest : public QObject {
    Q_OBJECT
private slots:
    void decodesBitmapsWithAndWithoutHeader() {
        const QByteArray plain = bitmap(16, 16, Qt::red);
        const QImage a = decodeIconBlob(plain);
        QCOMPARE(a.size(), QSize(16, 16));
        QCOMPARE(a.pixelColor(3, 3), QColor(Qt::red));
        const QImage b = decodeIconBlob(TestIcons::blobWithHeader(bitmap(32, 32, Qt::blue), 0));
        QVERIFY(b.isNull()); // a header that says nothing follows holds no bitmap
        const QByteArray blue = bitmap(32, 32, Qt::blue);
        const QImage c = decodeIconBlob(TestIcons::blobWithHeader(blue, quint32(blue.size())));
        QCOMPARE(c.size(), QSize(32, 32));
        QCOMPARE(c.pixelColor(0, 0), QColor(Qt::blue));
        // A length that overstates the rest still shows the bitmap that is there.
        QCOMPARE(decodeIconBlob(TestIcons::blobWithHeader(blue, 1u << 30)).size(), QSize(32, 32));
    }

    void givesNoIconForOtherBlobs_data() {
        QTest::addColumn<QByteArray>("blob");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("one byte") << QByteArray("B");
        QTest::newRow("header only") << TestIcons::blobWithHeader(QByteArray(), 0);
        QTest::newRow("png") << TestIcons::encoded(TestIcons::filled(4, 4, Qt::green), "PNG");
        QTest::newRow("text") << QByteArray("not a picture at all");
        QTest::newRow("cut bitmap") << bitmap(16, 16, Qt::red).left(20);
        QByteArray huge = bitmap(2, 2, Qt::red);
        qToLittleEndian<qint32>(100000, huge.data() + 18); // width in the info header
        qToLittleEndian<qint32>(100000, huge.data() + 22);
        QTest::newRow("huge dimensions") << huge;
    }
    void givesNoIconForOtherBlobs() {
        QFETCH(QByteArray, blob);
        QVERIFY(decodeIconBlob(blob).isNull());
    }
};

QTEST_MAIN(IconBlobTest)
#include "IconBlobTest.moc"
