#include "platform/IconBlob.h"

#include <QBuffer>
#include <QImageReader>

namespace {

// An icon is small; a header that claims a huge picture is not worth the memory.
constexpr int MaxIconSide = 1024;

quint32 le32(const QByteArray& data, int at) {
    return quint32(quint8(data[at])) | quint32(quint8(data[at + 1])) << 8 |
           quint32(quint8(data[at + 2])) << 16 | quint32(quint8(data[at + 3])) << 24;
}

qint32 le32s(const QByteArray& data, int at) {
    return qint32(le32(data, at));
}

quint16 le16(const QByteArray& data, int at) {
    return quint16(quint8(data[at]) | quint8(data[at + 1]) << 8);
}

// True when the pixels the bitmap's headers promise lie within it. The image reader fills
// rows it cannot read with whatever the fresh image memory holds, so a cut bitmap would show
// stray bytes instead of no icon.
bool pixelsPresent(const QByteArray& bitmap) {
    constexpr int FileHeader = 14;
    if (bitmap.size() < FileHeader + 12)
        return false;
    const qint64 pixels = le32(bitmap, 10);
    const qint64 infoSize = le32(bitmap, FileHeader);
    qint64 width = 0, height = 0, bitCount = 0;
    quint32 compression = 0, imageSize = 0;
    if (infoSize == 12) {
        width = le16(bitmap, 18);
        height = le16(bitmap, 20);
        bitCount = le16(bitmap, 24);
    } else if (infoSize >= 40 && bitmap.size() >= FileHeader + 40) {
        width = le32s(bitmap, 18);
        height = qAbs(qint64(le32s(bitmap, 22))); // negative: rows stored top down
        bitCount = le16(bitmap, 28);
        compression = le32(bitmap, 30);
        imageSize = le32(bitmap, 34);
    } else {
        return false;
    }
    if (pixels < FileHeader + infoSize || pixels >= bitmap.size())
        return false;
    // Run-length coded pixels (1, 2) have no fixed size; the header may say it.
    if (compression == 1 || compression == 2)
        return pixels + imageSize <= bitmap.size();
    const qint64 stride = (width * bitCount + 31) / 32 * 4;
    return width >= 0 && pixels + stride * height <= bitmap.size();
}

bool hasBlobHeader(const QByteArray& blob) {
    return blob.size() >= 8 && quint8(blob[0]) == 1 && quint8(blob[1]) == 0 &&
           quint8(blob[2]) == 0 && quint8(blob[3]) == 1;
}

} // namespace

QImage decodeIconBlob(const QByteArray& blob) {
    if (blob.size() > MaxIconBlobBytes)
        return {};
    QByteArray bitmap = blob;
    if (hasBlobHeader(blob)) {
        const quint32 length = le32(blob, 4);
        const qsizetype rest = blob.size() - 8;
        // A length that overstates the rest is taken as the rest: the bitmap's own header
        // says how much of it the picture needs.
        bitmap = blob.mid(8, length <= quint32(rest) ? qsizetype(length) : rest);
    }
    if (bitmap.size() < 2 || bitmap[0] != 'B' || bitmap[1] != 'M') {
        return {};
    }
    QBuffer buffer(&bitmap);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "bmp");
    reader.setDecideFormatFromContent(false);
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > MaxIconSide || size.height() > MaxIconSide ||
        !pixelsPresent(bitmap)) {
        return {};
    }
    QImage image;
    if (!reader.read(&image)) {
        return {};
    }
    return image;
}
