#include "platform/IconExtract.h"

#include "platform/DriveMapping.h"
#include "platform/PeIconReader.h"

#include <QBuffer>
#include <QDataStream>
#include <QFile>
#include <QImageReader>

#include <sys/stat.h>

namespace {

constexpr quintptr NoIcon = 0;
constexpr quintptr NotIconKind = 1;
constexpr quintptr IconFound = 2;
// Larger images than this are no icons; the limit bounds what a decoder may allocate.
constexpr quint32 MaxImageSide = 1024;

bool isIcoFile(const ByteView& file) {
    quint32 reserved = 1, type = 0, count = 0;
    return file.u16(0, reserved) && file.u16(2, type) && file.u16(4, count) && reserved == 0 &&
           type == 1 && count > 0;
}

// The images of an .ico file: a 6-byte header, then 16 bytes per image with its place.
QList<IconImageData> readIcoFile(const ByteView& file) {
    quint32 count = 0;
    file.u16(4, count);
    QList<IconImageData> result;
    for (quint32 i = 0; i < count; ++i) {
        const qint64 entry = 6 + qint64(i) * 16;
        quint32 width = 0, height = 0, bitCount = 0, size = 0, offset = 0;
        if (!file.u8(entry, width) || !file.u8(entry + 1, height) ||
            !file.u16(entry + 6, bitCount) || !file.u32(entry + 8, size) ||
            !file.u32(entry + 12, offset)) {
            break;
        }
        if (size <= MaxIconImageBytes && file.has(offset, size)) {
            result.append({width ? int(width) : 256, height ? int(height) : 256, int(bitCount),
                           offset, size});
        }
    }
    return result;
}

quint32 bigEndian32(const QByteArray& data, int offset) {
    const auto* p = reinterpret_cast<const uchar*>(data.constData()) + offset;
    return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | quint32(p[3]);
}

QImage decodePng(const QByteArray& data) {
    // The IHDR chunk follows the signature: length, "IHDR", width, height.
    if (data.size() < 24 || data.mid(12, 4) != "IHDR") {
        return {};
    }
    const quint32 width = bigEndian32(data, 16), height = bigEndian32(data, 20);
    if (width == 0 || height == 0 || width > MaxImageSide || height > MaxImageSide) {
        return {};
    }
    return QImage::fromData(data, "PNG");
}

// A DIB image as an icon resource stores it: wrapped into a one-image .ico file, it is read
// by Qt's icon reader, which applies the AND mask.
QImage decodeDib(const IconImageData& entry, const QByteArray& data) {
    const ByteView dib(reinterpret_cast<const uchar*>(data.constData()), data.size());
    quint32 headerSize = 0, width = 0, height = 0, bitCount = 0;
    if (!dib.u32(0, headerSize) || headerSize < 40 || !dib.u32(4, width) || !dib.u32(8, height) ||
        !dib.u16(14, bitCount)) {
        return {};
    }
    // Negative sizes read as huge unsigned values and fail here as well.
    if (width == 0 || height == 0 || width > MaxImageSide || height > 2 * MaxImageSide) {
        return {};
    }
    QByteArray ico;
    QDataStream out(&ico, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(1);
    out << quint8(entry.width & 0xff) << quint8(entry.height & 0xff) << quint8(0) << quint8(0)
        << quint16(1) << quint16(bitCount) << quint32(data.size()) << quint32(22);
    ico.append(data);
    QBuffer buffer(&ico);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "ico");
    return reader.read();
}

QImage decodeImage(const ByteView& file, const IconImageData& entry) {
    QByteArray data;
    if (!file.bytes(entry.offset, entry.size, data)) {
        return {};
    }
    QImage image = data.startsWith("\x89PNG\r\n\x1a\n") ? decodePng(data) : decodeDib(entry, data);
    if (!image.isNull() && image.size() != QSize(IconSide, IconSide)) {
        image = image.scaled(IconSide, IconSide, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    return image;
}

ExtractedIcon extract(const ByteView& file, unsigned index) {
    std::optional<IconImageData> best;
    quint32 magic = 0;
    if (file.u16(0, magic) && magic == 0x5A4D) {
        best = readPeIcon(file, index);
    } else if (isIcoFile(file)) {
        // An .ico file holds one icon.
        const QList<IconImageData> images = index == 0 ? readIcoFile(file) : QList<IconImageData>();
        if (const IconImageData* image = bestIconImage(images)) {
            best = *image;
        }
    } else {
        return {NotIconKind, {}};
    }
    if (!best) {
        return {NoIcon, {}};
    }
    QImage image = decodeImage(file, *best);
    if (image.isNull()) {
        return {NoIcon, {}};
    }
    return {IconFound, image};
}

} // namespace

ExtractedIcon ExtractIconA(const QString& windowsPath, unsigned index) {
    // Windows ignores trailing blanks in a file name; a source cut from a command line has one.
    QString path = windowsPath;
    while (path.endsWith(QLatin1Char(' '))) {
        path.chop(1);
    }
    const DriveHandle handle = openDrivePath(path, DriveAccess::File);
    struct stat info {};
    if (!handle.isOpen() || ::fstat(handle.fd(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return {NoIcon, {}};
    }
    QFile file;
    if (!file.open(handle.fd(), QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        return {NoIcon, {}};
    }
    return extractIcon(file, index);
}

ExtractedIcon extractIcon(QIODevice& file, unsigned index) {
    const qint64 size = file.size();
    if (size == 0) {
        return {NotIconKind, {}};
    }
    // Read piece by piece, not mapped: a mapped file cut short under us would fault on the
    // lost pages, while a short read only fails the one look-up.
    return extract(ByteView(&file, size), index);
}
