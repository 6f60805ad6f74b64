#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <optional>

class QIODevice;

// A read-only window on bytes, in memory or in an open file, whose every access is checked
// against its end, so a file that lies about its offsets or sizes can never make us read past
// it. A file is read, not mapped: one that shrinks while it is read (an upgrade replacing it)
// gives short reads, which fail like any other missing bytes.
class ByteView {
public:
    ByteView(const uchar* data, qint64 size) : m_data(data), m_size(size) {}
    // The first `size` bytes of a device open for reading (random access).
    ByteView(QIODevice* device, qint64 size) : m_device(device), m_size(size) {}
    qint64 size() const { return m_size; }
    bool has(qint64 offset, qint64 length) const {
        return offset >= 0 && length >= 0 && offset <= m_size && length <= m_size - offset;
    }
    bool u8(qint64 offset, quint32& value) const;
    bool u16(qint64 offset, quint32& value) const;
    bool u32(qint64 offset, quint32& value) const;
    bool bytes(qint64 offset, qint64 length, QByteArray& out) const;
    // The given bytes of the view as a view of their own; empty when they are not all there.
    ByteView part(qint64 offset, qint64 length) const;

private:
    ByteView(const uchar* data, QIODevice* device, qint64 base, qint64 size)
        : m_data(data), m_device(device), m_base(base), m_size(size) {}
    // Copies `length` bytes at `offset` to `out`; false unless all of them were there.
    bool read(qint64 offset, qint64 length, char* out) const;

    const uchar* m_data = nullptr;
    QIODevice* m_device = nullptr;
    qint64 m_base = 0; // where the view starts in the device
    qint64 m_size;
};

// One image of an icon: its directory entry (a width or height of 0 means 256) and where in
// the file the image lies, a DIB (BITMAPINFOHEADER, doubled height, AND mask) or a PNG. Only
// the image finally chosen is copied, so a directory that names one large image many times
// costs no memory.
struct IconImageData {
    int width = 0;
    int height = 0;
    int bitCount = 0;
    qint64 offset = 0;
    qint64 size = 0;
};

// No single icon image is larger than this: a 256 x 256 image at 32 bits with its mask is
// about 270 kB, so anything bigger is a lying size field.
constexpr qint64 MaxIconImageBytes = 4 * 1024 * 1024;

// The side of the icons the system shows.
constexpr int IconSide = 32;

// The image a 32 x 32 icon is best made from: that size if present, else the nearest size
// (larger before smaller); among equal sizes the one with the most colours, then the first.
// Null for an empty list.
const IconImageData* bestIconImage(const QList<IconImageData>& images);

// The best image (bestIconImage) of the index-th icon group (RT_GROUP_ICON) of a PE file,
// with the place of its RT_ICON data. None when the file has no such group or its tables do
// not hold together.
std::optional<IconImageData> readPeIcon(const ByteView& file, unsigned index);
