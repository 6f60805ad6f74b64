#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QFile>
#include <QImage>
#include <QList>
#include <QString>

// Real icon files for tests: .ico files and minimal Windows program files (PE32) that carry
// icon resources (RT_ICON images and RT_GROUP_ICON directories), written from scratch.
namespace TestIcons {

struct Image {
    int width = 0;
    int height = 0;
    int bitCount = 32;
    QByteArray data; // a DIB (BITMAPINFOHEADER, doubled height, AND mask) or a PNG
};

inline void putU16(QByteArray& b, qsizetype at, quint32 v) {
    b[at] = char(v & 0xff);
    b[at + 1] = char((v >> 8) & 0xff);
}

inline void putU32(QByteArray& b, qsizetype at, quint32 v) {
    putU16(b, at, v & 0xffff);
    putU16(b, at + 2, v >> 16);
}

// A 32-bit image of one opaque colour, as icon resources store it.
inline Image dibImage(int size, QRgb color) {
    const int maskRow = (size + 31) / 32 * 4;
    QByteArray dib(40 + size * size * 4 + maskRow * size, '\0');
    putU32(dib, 0, 40);
    putU32(dib, 4, size);
    putU32(dib, 8, size * 2);
    putU16(dib, 12, 1);
    putU16(dib, 14, 32);
    putU32(dib, 20, size * size * 4);
    for (int i = 0; i < size * size; ++i) {
        dib[40 + i * 4] = char(qBlue(color));
        dib[40 + i * 4 + 1] = char(qGreen(color));
        dib[40 + i * 4 + 2] = char(qRed(color));
        dib[40 + i * 4 + 3] = char(0xff);
    }
    return {size, size, 32, dib};
}

// An image of one colour.
inline QImage filled(int width, int height, QColor color,
                     QImage::Format pixels = QImage::Format_RGB32) {
    QImage image(width, height, pixels);
    image.fill(color);
    return image;
}

// The bytes of an image file ("BMP", "PNG") of `image`.
inline QByteArray encoded(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

// An icon blob as the program table may hold it: a Windows bitmap led by the 8-byte header
// whose last four bytes give the length of what follows.
inline QByteArray blobWithHeader(const QByteArray& bitmap, quint32 length) {
    QByteArray header(8, '\0');
    putU16(header, 0, 1);
    putU16(header, 2, 0x0100);
    putU32(header, 4, length);
    return header + bitmap;
}

// A PNG image of one colour, as newer icons store their large sizes.
inline Image pngImage(int size, QRgb color) {
    return {size, size, 32,
            encoded(filled(size, size, QColor::fromRgba(color), QImage::Format_ARGB32), "PNG")};
}

inline QByteArray iconDirectoryHeader(int count) {
    QByteArray header(6, '\0');
    putU16(header, 2, 1);
    putU16(header, 4, count);
    return header;
}

inline QByteArray icoFile(const QList<Image>& images) {
    QByteArray file = iconDirectoryHeader(images.size());
    quint32 offset = 6 + 16 * images.size();
    for (const Image& image : images) {
        QByteArray entry(16, '\0');
        entry[0] = char(image.width & 0xff);
        entry[1] = char(image.height & 0xff);
        putU16(entry, 4, 1);
        putU16(entry, 6, image.bitCount);
        putU32(entry, 8, image.data.size());
        putU32(entry, 12, offset);
        file.append(entry);
        offset += image.data.size();
    }
    for (const Image& image : images) {
        file.append(image.data);
    }
    return file;
}

// Where the parts of a generated program file lie, for tests that damage them on purpose.
struct PeLayout {
    quint32 peHeader = 0x40;
    quint32 sectionTable = 0;
    quint32 resourceStart = 0x200; // file offset of the resource tree
    quint32 resourceRva = 0x1000;
    quint32 groupTypeDirectory = 0; // offsets inside the resource tree
    quint32 firstDataEntry = 0;
};

// A PE32 program file with one ".rsrc" section: each group becomes an RT_GROUP_ICON (ids
// 1, 2, ...) whose images are RT_ICON resources numbered 1, 2, ... across all groups.
inline QByteArray peFile(const QList<QList<Image>>& groups, PeLayout* layout = nullptr) {
    PeLayout l;
    int imageCount = 0;
    for (const auto& g : groups) {
        imageCount += g.size();
    }
    const int resources = imageCount + groups.size();
    const quint32 iconTypeDir = 32;
    const quint32 groupTypeDir = iconTypeDir + 16 + 8 * imageCount;
    const quint32 languageDirs = groupTypeDir + 16 + 8 * groups.size();
    const quint32 dataEntries = languageDirs + 24 * resources;
    l.groupTypeDirectory = groupTypeDir;
    l.firstDataEntry = dataEntries;

    // The resources in tree order: all icons, then all group directories.
    QList<QByteArray> blobs;
    int iconId = 1;
    QList<QByteArray> groupBlobs;
    for (const auto& group : groups) {
        QByteArray dir = iconDirectoryHeader(group.size());
        for (const Image& image : group) {
            QByteArray entry(14, '\0');
            entry[0] = char(image.width & 0xff);
            entry[1] = char(image.height & 0xff);
            putU16(entry, 4, 1);
            putU16(entry, 6, image.bitCount);
            putU32(entry, 8, image.data.size());
            putU16(entry, 12, iconId++);
            dir.append(entry);
            blobs.append(image.data);
        }
        groupBlobs.append(dir);
    }
    blobs.append(groupBlobs);

    QByteArray tree(dataEntries + 16 * resources, '\0');
    auto directory = [&](quint32 at, int ids) { putU16(tree, at + 14, ids); };
    directory(0, 2);
    putU32(tree, 16, 3);
    putU32(tree, 20, 0x80000000u | iconTypeDir);
    putU32(tree, 24, 14);
    putU32(tree, 28, 0x80000000u | groupTypeDir);
    directory(iconTypeDir, imageCount);
    directory(groupTypeDir, groups.size());
    for (int r = 0; r < resources; ++r) {
        const bool isIcon = r < imageCount;
        const quint32 nameEntry =
            isIcon ? iconTypeDir + 16 + 8 * r : groupTypeDir + 16 + 8 * (r - imageCount);
        const quint32 languageDir = languageDirs + 24 * r;
        putU32(tree, nameEntry, isIcon ? r + 1 : r - imageCount + 1);
        putU32(tree, nameEntry + 4, 0x80000000u | languageDir);
        directory(languageDir, 1);
        putU32(tree, languageDir + 16, 0x409);
        putU32(tree, languageDir + 20, dataEntries + 16 * r);
    }
    for (int r = 0; r < resources; ++r) {
        while (tree.size() % 4) {
            tree.append('\0');
        }
        putU32(tree, dataEntries + 16 * r, l.resourceRva + tree.size());
        putU32(tree, dataEntries + 16 * r + 4, blobs[r].size());
        tree.append(blobs[r]);
    }

    const quint32 rawSize = (tree.size() + 0x1ff) & ~0x1ffu;
    QByteArray file(l.resourceStart, '\0');
    file[0] = 'M';
    file[1] = 'Z';
    putU32(file, 0x3C, l.peHeader);
    const quint32 coff = l.peHeader + 4, optional = coff + 20;
    file.replace(l.peHeader, 4, QByteArray("PE\0\0", 4));
    putU16(file, coff, 0x14c);      // i386
    putU16(file, coff + 2, 1);      // one section
    putU16(file, coff + 16, 224);   // optional header size
    putU16(file, coff + 18, 0x102); // executable, 32-bit
    putU16(file, optional, 0x10b);  // PE32
    putU32(file, optional + 28, 0x400000);
    putU32(file, optional + 32, 0x1000);
    putU32(file, optional + 36, 0x200);
    putU16(file, optional + 48, 4);
    putU32(file, optional + 56, l.resourceRva + ((rawSize + 0xfff) & ~0xfffu));
    putU32(file, optional + 60, l.resourceStart);
    putU16(file, optional + 68, 2); // GUI subsystem
    putU32(file, optional + 92, 16);
    putU32(file, optional + 96 + 16, l.resourceRva);
    putU32(file, optional + 96 + 20, tree.size());
    l.sectionTable = optional + 224;
    file.replace(l.sectionTable, 6, QByteArray(".rsrc\0", 6));
    putU32(file, l.sectionTable + 8, tree.size());
    putU32(file, l.sectionTable + 12, l.resourceRva);
    putU32(file, l.sectionTable + 16, rawSize);
    putU32(file, l.sectionTable + 20, l.resourceStart);
    putU32(file, l.sectionTable + 36, 0x40000040u); // initialised data, readable
    tree.resize(rawSize, '\0');
    file.append(tree);
    if (layout) {
        *layout = l;
    }
    return file;
}

inline bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

} // namespace TestIcons
