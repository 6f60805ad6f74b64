#include "data/ProfileFile.h"

#include "platform/DriveMapping.h"
#include "platform/Exception.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <sys/stat.h>

namespace {

constexpr int SectionBufferSize = 16384; // the key list's buffer, names and terminators
constexpr int ValueLength = 2047;        // a value's buffer less its terminator

// The file as lines without their line ends. A missing file gives no lines; so does one that
// exists but cannot be read, which is marked so that no write replaces what it holds.
struct Lines {
    QStringList lines;
    QByteArray newline = "\r\n";
    bool unreadable = false;
};

// UTF-8, as the file is written; a file that is not valid UTF-8 comes from a single-byte code
// page and is read as Latin-1, which keeps every byte.
QString decode(const QByteArray& data) {
    QStringDecoder utf8(QStringConverter::Utf8);
    const QString text = utf8(data);
    return utf8.hasError() ? QString::fromLatin1(data) : text;
}

// Read through the drive mapping's checked handle: a settings file that is a link, or is
// another account's, is no file to read and none to write over.
Lines readLines(const QString& windowsPath) {
    Lines out;
    const DriveHandle handle = openDrivePath(windowsPath, DriveAccess::File);
    if (!handle.isOpen()) {
        out.unreadable = handle.error() != ENOENT;
        return out;
    }
    struct stat info {};
    QFile file;
    if (::fstat(handle.fd(), &info) != 0 || !S_ISREG(info.st_mode) ||
        !file.open(handle.fd(), QIODevice::ReadOnly)) {
        out.unreadable = true;
        return out;
    }
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        out.unreadable = true;
        return out;
    }
    if (data.isEmpty())
        return out;
    const qsizetype firstLf = data.indexOf('\n');
    if (firstLf >= 0 && (firstLf == 0 || data.at(firstLf - 1) != '\r'))
        out.newline = "\n";
    out.lines = decode(data).split(QLatin1Char('\n'));
    if (data.endsWith('\n'))
        out.lines.removeLast();
    for (QString& line : out.lines)
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    return out;
}

// "[name]" opens a section; the name is what stands between the brackets.
bool sectionName(const QString& line, QString* name) {
    const QString t = line.trimmed();
    if (!t.startsWith(QLatin1Char('[')))
        return false;
    const qsizetype close = t.indexOf(QLatin1Char(']'));
    *name = (close < 0 ? t.mid(1) : t.mid(1, close - 1)).trimmed();
    return true;
}

// "key = value"; comment lines (";") and lines without "=" hold no key.
bool keyLine(const QString& line, QString* key, QString* value) {
    const QString t = line.trimmed();
    if (t.isEmpty() || t.startsWith(QLatin1Char(';')) || t.startsWith(QLatin1Char('[')))
        return false;
    const qsizetype eq = t.indexOf(QLatin1Char('='));
    if (eq <= 0)
        return false;
    *key = t.left(eq).trimmed();
    if (value)
        *value = t.mid(eq + 1).trimmed();
    return !key->isEmpty();
}

// Line range [begin, end) of the first section of that name, the header line excluded;
// begin is -1 when there is none.
std::pair<int, int> findSection(const QStringList& lines, const QString& section) {
    int begin = -1;
    for (int i = 0; i < lines.size(); ++i) {
        QString name;
        if (!sectionName(lines.at(i), &name))
            continue;
        if (begin >= 0)
            return {begin, i};
        if (name.compare(section, Qt::CaseInsensitive) == 0)
            begin = i + 1;
    }
    return {begin, int(lines.size())};
}

bool breaksLines(const QString& text) {
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
}

} // namespace

ProfileFile::ProfileFile(QString windowsPath) : m_path(std::move(windowsPath)) {}

bool ProfileFile::exists() const {
    // Whether there is a file at all, also one that cannot be read: nothing is read here.
    const QString path = mapDrivePath(m_path);
    return !path.isEmpty() && QFileInfo(path).isFile();
}

void ProfileFile::readSection(const QString& section, QStringList& keys) const {
    keys.clear();
    const QStringList lines = readLines(m_path).lines;
    const auto [begin, end] = findSection(lines, section);
    if (begin < 0)
        return;
    // Each name takes its length and a terminator; the list ends with one more terminator.
    // A name that no longer fits whole is cut to what does, as the system's buffer cuts it.
    int used = 0;
    for (int i = begin; i < end; ++i) {
        QString key;
        if (!keyLine(lines.at(i), &key, nullptr))
            continue;
        if (used + key.size() + 1 <= SectionBufferSize - 1) {
            keys << key;
            used += int(key.size()) + 1;
            continue;
        }
        const int room = SectionBufferSize - 2 - used;
        if (room > 0)
            keys << key.left(room);
        break;
    }
}

QString ProfileFile::readString(const QString& section, const QString& key,
                                const QString& def) const {
    const QStringList lines = readLines(m_path).lines;
    const auto [begin, end] = findSection(lines, section);
    if (begin < 0)
        return def;
    for (int i = begin; i < end; ++i) {
        QString name;
        QString value;
        if (keyLine(lines.at(i), &name, &value) && name.compare(key, Qt::CaseInsensitive) == 0)
            return value.left(ValueLength);
    }
    return def;
}

void ProfileFile::writeString(const QString& section, const QString& key, const QString& value) {
    const QString failure = QStringLiteral("Unable to write to %1").arg(m_path);
    // A line break in a name or value would plant lines of its own in the file.
    if (key.trimmed().isEmpty() || breaksLines(section) || breaksLines(key) || breaksLines(value) ||
        key.contains(QLatin1Char('=')) || section.contains(QLatin1Char(']')))
        throw Exception(failure);

    Lines file = readLines(m_path);
    if (file.unreadable)
        throw Exception(failure);
    QStringList& lines = file.lines;
    const auto [begin, end] = findSection(lines, section);
    if (begin < 0) {
        lines << QLatin1Char('[') + section + QLatin1Char(']') << key + QLatin1Char('=') + value;
    } else {
        int found = -1;
        int lastContent = begin - 1;
        for (int i = begin; i < end; ++i) {
            QString name;
            QString old;
            if (keyLine(lines.at(i), &name, &old)) {
                lastContent = i;
                if (found < 0 && name.compare(key, Qt::CaseInsensitive) == 0)
                    found = i;
            } else if (!lines.at(i).trimmed().isEmpty()) {
                lastContent = i;
            }
        }
        if (found >= 0) {
            QString name;
            keyLine(lines.at(found), &name, nullptr);
            lines[found] = name + QLatin1Char('=') + value; // the key keeps its spelling and place
        } else {
            lines.insert(lastContent + 1, key + QLatin1Char('=') + value);
        }
    }

    QByteArray data;
    for (const QString& line : std::as_const(lines))
        data += line.toUtf8() + file.newline;
    if (!replaceDriveFile(m_path, data, 0644))
        throw Exception(failure);
}
