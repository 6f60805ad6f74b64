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

bool hasBlobHeader(const QByteArray& blob) {
    return blob.size() >= 8 && quint8(blob[0]) == 1 && quint8(blob[1]) == 0 &&
           quint8(blob[2]) == 0 && quint8(blob[3]) == 1;
}

} // namespace

QImage decodeIconBlob(const QByteArray& blob) {
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
    if (!size.isValid() || size.width() > MaxIconSide || size.height() > MaxIconSide) {
        return {};
    }
    QImage image;
    if (!reader.read(&image)) {
        return {};
    }
    return image;
}
