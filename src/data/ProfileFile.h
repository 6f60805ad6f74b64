#pragma once

#include <QString>
#include <QStringList>

// A Windows-style settings (INI) file, reached by its Windows path through the drive mapping.
// Every operation goes to the file itself; nothing is cached. Names are case-blind, order is
// kept, texts are UTF-8 on disk (a file that is not valid UTF-8 reads as Latin-1), writes
// replace the file atomically.
class ProfileFile {
public:
    explicit ProfileFile(QString windowsPath);

    const QString& fileName() const { return m_path; }
    bool exists() const;

    // Empties `keys`, then fills it with the section's key names in file order, through a
    // 16384-byte budget (names and terminators); what does not fit is cut off.
    void readSection(const QString& section, QStringList& keys) const;
    // The value, cut at 2047 characters; `def` when the file, section or key is missing;
    // the empty text for a key present with an empty value.
    QString readString(const QString& section, const QString& key, const QString& def) const;
    // Replaces in place or appends key / section / file. Failure, also of a file that exists
    // but cannot be read, raises Exception "Unable to write to <path>" and leaves the file
    // unchanged.
    void writeString(const QString& section, const QString& key, const QString& value);

private:
    QString m_path;
};
