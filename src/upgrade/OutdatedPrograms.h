#pragma once

#include "upgrade/UpgradeEntry.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

class InstalledState;
class TrustedKeys;

// The upgrade check of one sign-in: one entry per local target file the rows name (client
// folder and exe name, letter case ignored), and which of them to fetch. Every look-up is by
// hash and each distinct file is tested once, so a sign-in with many rows costs what reading
// them costs.
class OutdatedPrograms {
public:
    // `installedNames` and `installedVersions`: the settings file's versions, side by side;
    // `baseFolder`: the settings file's folder, which no row may write into.
    OutdatedPrograms(const QStringList& installedNames, const QStringList& installedVersions,
                     const QString& baseFolder);

    // One row of the program query. A row into the settings file's folder is skipped (false).
    // Of several rows for one target the highest version counts, the first of equal ones: a
    // stale row left at an old version never takes a target back.
    bool addRow(const QString& exe, const QString& clientPath, const QString& serverPath,
                const QString& version, const QString& prog);
    // One row of the digest query: the release stated for its target at `version`. Only the
    // release of the version being installed applies; a row without a digest states none.
    void addRelease(const QString& exe, const QString& clientPath, const QString& version,
                    const QString& sha256, qint64 size, const QString& signature,
                    const QString& keyId);
    // Decides each entry: current when the version recorded (settings file, or the state for
    // an unchanged file) is not below the listed one, the file is there and, when a digest is
    // listed, its bytes are that release's. With trusted keys, an entry to fetch needs a valid
    // signature and a version not below the highest signed one installed there.
    void settle(InstalledState& state, const TrustedKeys& keys);

    // Every entry, in row order.
    const QList<UpgradeEntry>& entries() const { return m_entries; }
    // The entries to fetch.
    QList<UpgradeEntry> outdated() const;
    // Every client folder the rows named, once each (as folder keys, which map like the rows).
    QStringList folders() const;
    // The version the settings file records for `exe` (letter case ignored); null: none.
    QString installedVersion(const QString& exe) const;

private:
    UpgradeEntry::State decide(UpgradeEntry& entry, InstalledState& state,
                               const TrustedKeys& keys) const;
    // The folder's key (UpgradePaths), worked out once per spelling: rows repeat their folders.
    const QString& folderOf(const QString& clientPath);

    // Case-folded installed name -> its first place in the settings file.
    QHash<QString, qsizetype> m_installed;
    QStringList m_installedVersions;
    QString m_baseFolder;
    QList<UpgradeEntry> m_entries;
    // Target -> its entry's index.
    QHash<QString, qsizetype> m_targets;
    QHash<QString, QString> m_folders;
};
