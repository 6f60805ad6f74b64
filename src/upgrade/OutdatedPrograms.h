#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

// The upgrade check of one sign-in: which rows of the program query name a file to fetch.
// An entry is one local target file (client folder and exe name, letter case ignored); the
// first row that gets added for it counts. Every look-up is by hash and each distinct file is
// tested once, so a sign-in with many rows costs what reading them costs.
class OutdatedPrograms {
public:
    // `installedNames` and `installedVersions`: the settings file's versions, side by side;
    // `baseFolder`: the settings file's folder, which no row may write into.
    OutdatedPrograms(const QStringList& installedNames, const QStringList& installedVersions,
                     const QString& baseFolder);

    // What the check made of a row: skipped (it would write into the settings file's folder),
    // current, or added as the entry of its target file (or a later row of that target).
    enum class Row { Skipped, Current, Added };
    // One row of the program query, in result order; `prog` is the row's full local path.
    Row addRow(const QString& exe, const QString& clientPath, const QString& serverPath,
               const QString& version, const QString& prog);
    // Every client folder the rows named, once each (as folder keys, which map like the rows).
    QStringList folders() const;
    // The version the settings file records for `exe` (letter case ignored); null: none.
    QString installedVersion(const QString& exe) const;
    // One row of the digest query: the target file may only be replaced by bytes of one of
    // the digests listed for it. A row without a digest pins nothing and un-pins nothing.
    void addDigest(const QString& exe, const QString& clientPath, const QString& digest);
    // The digests each entry's download must match, separated by blanks; empty: not pinned.
    QStringList digests() const;

    // One per entry, the same index in all four.
    QStringList exeNames;
    QStringList clientPaths;
    QStringList serverPaths;
    QStringList versions;

private:
    void add(const QString& target, const QString& exe, const QString& clientPath,
             const QString& serverPath, const QString& version);
    bool fileExists(const QString& target, const QString& prog);
    // The folder's key (UpgradePaths), worked out once per spelling: rows repeat their folders.
    const QString& folderOf(const QString& clientPath);

    // Case-folded installed name -> its first place in the settings file.
    QHash<QString, qsizetype> m_installed;
    QStringList m_installedVersions;
    QString m_baseFolder;
    QStringList m_targets;
    QSet<QString> m_added;
    QHash<QString, bool> m_exists;
    QHash<QString, QString> m_folders;
    QHash<QString, QStringList> m_pins;
};
