#pragma once

#include <QHash>
#include <QString>
#include <optional>

// What this workstation installed, per target file (client folder and exe name as one key):
// the version and digest of the file it wrote, that file's identity (size, modification time,
// inode) and the highest signed version it ever installed there. Kept in a file of its own
// beside the settings file, whose format stays as it is, and which another hand may write.
// A file whose identity is unchanged is not hashed again, so a check with nothing changed
// reads no program file.
class InstalledState {
public:
    // `windowsPath`: the state file, reached through the drive mapping at each load and save.
    explicit InstalledState(QString windowsPath);

    struct Record {
        QString version; // empty: not installed by the upgrade as it is now
        QString sha256;  // of the file as it is now; empty: none there
        qint64 size = -1;
        qint64 modified = 0; // ns since the epoch
        quint64 inode = 0;
        QString highestSigned; // empty: never a signed release
    };

    // Reads the file again; a missing or damaged file is an empty state (nothing protected,
    // which is how a workstation starts).
    void load();
    // Writes the file whole (atomically) when anything changed. Raises Exception on failure.
    void save();

    // The record of `target` brought up to the file now at `windowsPath` (opened through the
    // drive mapping's checked handle): when its identity changed, its version is dropped and,
    // with `hash`, its digest worked out again. nullptr: no file there, or none that is the
    // user's alone.
    const Record* current(const QString& target, const QString& windowsPath, bool hash);
    // The file at `windowsPath` was just installed with this version and digest.
    void installed(const QString& target, const QString& windowsPath, const QString& version,
                   const QString& sha256, bool isSigned);
    // The highest signed version installed at `target`, kept also when the file is gone.
    std::optional<double> highestSigned(const QString& target) const;

private:
    QString m_path;
    QHash<QString, Record> m_records;
    bool m_dirty = false;
};
