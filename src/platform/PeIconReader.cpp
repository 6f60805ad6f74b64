#include "platform/PeIconReader.h"

#include <QHash>
#include <QIODevice>

#include <cstring>

#include <optional>

bool ByteView::read(qint64 offset, qint64 length, char* out) const {
    if (!has(offset, length)) {
        return false;
    }
    if (!m_device) {
        memcpy(out, m_data + offset, size_t(length));
        return true;
    }
    return m_device->seek(m_base + offset) && m_device->read(out, length) == length;
}

bool ByteView::u8(qint64 offset, quint32& value) const {
    uchar b[1];
    if (!read(offset, 1, reinterpret_cast<char*>(b))) {
        return false;
    }
    value = b[0];
    return true;
}

bool ByteView::u16(qint64 offset, quint32& value) const {
    uchar b[2];
    if (!read(offset, 2, reinterpret_cast<char*>(b))) {
        return false;
    }
    value = quint32(b[0]) | quint32(b[1]) << 8;
    return true;
}

bool ByteView::u32(qint64 offset, quint32& value) const {
    uchar b[4];
    if (!read(offset, 4, reinterpret_cast<char*>(b))) {
        return false;
    }
    value = quint32(b[0]) | quint32(b[1]) << 8 | quint32(b[2]) << 16 | quint32(b[3]) << 24;
    return true;
}

bool ByteView::bytes(qint64 offset, qint64 length, QByteArray& out) const {
    if (!has(offset, length)) {
        return false;
    }
    QByteArray data(length, Qt::Uninitialized);
    if (!read(offset, length, data.data())) {
        return false;
    }
    out = data;
    return true;
}

ByteView ByteView::part(qint64 offset, qint64 length) const {
    if (!has(offset, length)) {
        return ByteView(m_data, m_device, m_base, 0);
    }
    return m_device ? ByteView(nullptr, m_device, m_base + offset, length)
                    : ByteView(m_data + offset, nullptr, 0, length);
}

namespace {

constexpr quint32 RtIcon = 3;
constexpr quint32 RtGroupIcon = 14;
constexpr quint32 HighBit = 0x80000000u;

struct Section {
    quint32 virtualAddress;
    quint32 virtualSize;
    quint32 rawSize;
    quint32 rawOffset;
};

// The headers of a PE file as far as resources need them: its sections and where the
// resource tree starts.
class PeImage {
public:
    explicit PeImage(const ByteView& file) : m_file(file) {}

    bool load() {
        quint32 peOffset = 0, signature = 0, sectionCount = 0, optionalSize = 0, magic = 0;
        if (!m_file.u32(0x3C, peOffset) || !m_file.u32(peOffset, signature) ||
            signature != 0x00004550u) {
            return false;
        }
        const qint64 coff = qint64(peOffset) + 4;
        const qint64 optional = coff + 20;
        if (!m_file.u16(coff + 2, sectionCount) || !m_file.u16(coff + 16, optionalSize) ||
            !m_file.u16(optional, magic)) {
            return false;
        }
        // The data directories start at 96 (PE32) or 112 (PE32+); resources are entry 2.
        const qint64 directories = magic == 0x10b ? 96 : magic == 0x20b ? 112 : -1;
        quint32 directoryCount = 0;
        if (directories < 0 || !m_file.u32(optional + directories - 4, directoryCount) ||
            directoryCount < 3 || directories + 3 * 8 > qint64(optionalSize) ||
            !m_file.u32(optional + directories + 16, m_resourceRva) || m_resourceRva == 0) {
            return false;
        }
        const qint64 table = optional + optionalSize;
        for (quint32 i = 0; i < sectionCount; ++i) {
            const qint64 entry = table + qint64(i) * 40;
            Section s{};
            if (!m_file.u32(entry + 8, s.virtualSize) ||
                !m_file.u32(entry + 12, s.virtualAddress) || !m_file.u32(entry + 16, s.rawSize) ||
                !m_file.u32(entry + 20, s.rawOffset)) {
                return false;
            }
            m_sections.append(s);
        }
        return true;
    }

    // The file offset of `length` bytes at the virtual address, when they lie in the file
    // data of one section.
    std::optional<qint64> offsetOf(qint64 rva, qint64 length) const {
        for (const Section& s : m_sections) {
            const qint64 start = s.virtualAddress;
            const qint64 extent =
                qMin<qint64>(s.rawSize, s.virtualSize ? s.virtualSize : s.rawSize);
            if (rva >= start && length >= 0 && rva - start <= extent - length) {
                const qint64 offset = qint64(s.rawOffset) + (rva - start);
                if (m_file.has(offset, length)) {
                    return offset;
                }
            }
        }
        return std::nullopt;
    }

    // A resource directory at an offset in the resource tree: its entries, named ones first.
    struct Entry {
        quint32 name;
        quint32 target;
    };
    std::optional<QList<Entry>> directory(quint32 treeOffset) const {
        const auto header = offsetOf(qint64(m_resourceRva) + treeOffset, 16);
        quint32 named = 0, ids = 0;
        if (!header || !m_file.u16(*header + 12, named) || !m_file.u16(*header + 14, ids)) {
            return std::nullopt;
        }
        const auto entries = offsetOf(qint64(m_resourceRva) + treeOffset + 16, (named + ids) * 8);
        if (!entries) {
            return std::nullopt;
        }
        QList<Entry> result;
        for (quint32 i = 0; i < named + ids; ++i) {
            Entry e{};
            m_file.u32(*entries + i * 8, e.name);
            m_file.u32(*entries + i * 8 + 4, e.target);
            result.append(e);
        }
        return result;
    }

    // The data of a resource given its name entry at the second level: the first language
    // under it. The tree has exactly three levels, so a subdirectory where data belongs (or
    // a pointer back up the tree) ends the search instead of looping.
    struct Blob {
        qint64 offset;
        qint64 size;
    };
    std::optional<Blob> resourceData(const Entry& nameEntry) const {
        if (!(nameEntry.target & HighBit)) {
            return std::nullopt;
        }
        const auto languages = directory(nameEntry.target & ~HighBit);
        if (!languages || languages->isEmpty() || (languages->first().target & HighBit)) {
            return std::nullopt;
        }
        const auto dataEntry = offsetOf(qint64(m_resourceRva) + languages->first().target, 16);
        quint32 rva = 0, size = 0;
        if (!dataEntry || !m_file.u32(*dataEntry, rva) || !m_file.u32(*dataEntry + 4, size) ||
            size > MaxIconImageBytes) {
            return std::nullopt;
        }
        const auto offset = offsetOf(rva, size);
        if (!offset) {
            return std::nullopt;
        }
        return Blob{*offset, size};
    }

    // The names under one resource type.
    std::optional<QList<Entry>> namesOfType(quint32 type) const {
        const auto types = directory(0);
        if (!types) {
            return std::nullopt;
        }
        for (const Entry& e : *types) {
            if (e.name == type && (e.target & HighBit)) {
                return directory(e.target & ~HighBit);
            }
        }
        return std::nullopt;
    }

private:
    const ByteView& m_file;
    quint32 m_resourceRva = 0;
    QList<Section> m_sections;
};

} // namespace

std::optional<IconImageData> readPeIcon(const ByteView& file, unsigned index) {
    PeImage image(file);
    if (!image.load()) {
        return std::nullopt;
    }
    const auto groups = image.namesOfType(RtGroupIcon);
    if (!groups || index >= unsigned(groups->size())) {
        return std::nullopt;
    }
    const auto group = image.resourceData(groups->at(index));
    const auto icons = image.namesOfType(RtIcon);
    if (!group || !icons) {
        return std::nullopt;
    }
    QHash<quint32, PeImage::Entry> iconById;
    for (const PeImage::Entry& e : *icons) {
        if (!iconById.contains(e.name)) {
            iconById.insert(e.name, e);
        }
    }
    // The group directory: a 6-byte header, then 14 bytes per image naming its RT_ICON id.
    const ByteView dir = file.part(group->offset, group->size);
    quint32 reserved = 1, type = 0, count = 0;
    if (!dir.u16(0, reserved) || !dir.u16(2, type) || !dir.u16(4, count) || reserved != 0 ||
        type != 1) {
        return std::nullopt;
    }
    // Only the image chosen from the directory is looked up, as Windows does: a directory
    // of thousands of entries then costs one look-up, not thousands.
    QList<IconImageData> candidates;
    QList<PeImage::Entry> candidateIcons;
    for (quint32 i = 0; i < count; ++i) {
        const qint64 entry = 6 + qint64(i) * 14;
        quint32 width = 0, height = 0, bitCount = 0, id = 0;
        if (!dir.u8(entry, width) || !dir.u8(entry + 1, height) || !dir.u16(entry + 6, bitCount) ||
            !dir.u16(entry + 12, id)) {
            break;
        }
        const auto icon = iconById.constFind(id);
        if (icon != iconById.constEnd()) {
            candidates.append(
                {width ? int(width) : 256, height ? int(height) : 256, int(bitCount), 0, 0});
            candidateIcons.append(*icon);
        }
    }
    const IconImageData* best = bestIconImage(candidates);
    if (!best) {
        return std::nullopt;
    }
    const auto blob = image.resourceData(candidateIcons.at(best - candidates.constData()));
    if (!blob) {
        return std::nullopt;
    }
    IconImageData result = *best;
    result.offset = blob->offset;
    result.size = blob->size;
    return result;
}

const IconImageData* bestIconImage(const QList<IconImageData>& images) {
    const IconImageData* best = nullptr;
    auto distance = [](const IconImageData& i) {
        return qAbs(i.width - IconSide) + qAbs(i.height - IconSide);
    };
    for (const IconImageData& image : images) {
        if (!best) {
            best = &image;
            continue;
        }
        const int d = distance(image), bestD = distance(*best);
        const bool larger = image.width >= IconSide && best->width < IconSide;
        if (d < bestD || (d == bestD && (larger || (image.width == best->width &&
                                                    image.bitCount > best->bitCount)))) {
            best = &image;
        }
    }
    return best;
}
