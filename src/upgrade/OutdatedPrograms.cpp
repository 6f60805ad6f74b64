#include "upgrade/OutdatedPrograms.h"

#include "upgrade/InstalledState.h"
#include "upgrade/ReleaseSignature.h"
#include "upgrade/UpgradePaths.h"

#include <QSet>
#include <optional>

namespace {

// A version text as a number; nullopt when it is none (an empty or hand-edited value).
std::optional<double> versionNumber(const QString& text) {
    bool ok = false;
    const double value = text.toDouble(&ok);
    return ok ? std::optional<double>(value) : std::nullopt;
}

QString notInstalled(const UpgradeEntry& entry, const QString& why) {
    return QStringLiteral("Program ") + entry.exe + QStringLiteral(" not installed: ") + why;
}

} // namespace

OutdatedPrograms::OutdatedPrograms(const QStringList& installedNames,
                                   const QStringList& installedVersions, const QString& baseFolder)
    : m_installedVersions(installedVersions), m_baseFolder(folderKey(baseFolder)) {
    m_installed.reserve(installedNames.size());
    // The first of two names that differ only in letter case is the one that counts.
    for (qsizetype i = installedNames.size() - 1; i >= 0; --i)
        m_installed.insert(installedNames.at(i).toCaseFolded(), i);
}

bool OutdatedPrograms::addRow(const QString& exe, const QString& clientPath,
                              const QString& serverPath, const QString& version,
                              const QString& prog) {
    // The settings file's folder holds no program: a row there would replace the settings.
    const QString& folder = folderOf(clientPath);
    if (folder == m_baseFolder)
        return false;
    const QString target = folder + QLatin1Char('\\') + exe.toCaseFolded();
    const auto known = m_targets.constFind(target);
    if (known != m_targets.cend()) {
        UpgradeEntry& entry = m_entries[*known];
        const auto listed = versionNumber(version);
        const auto kept = versionNumber(entry.version);
        if (listed && (!kept || *listed > *kept)) {
            entry.serverPath = serverPath;
            entry.version = version;
        }
        return true;
    }
    UpgradeEntry entry;
    entry.target = target;
    entry.exe = exe;
    entry.clientPath = clientPath;
    entry.serverPath = serverPath;
    entry.version = version;
    entry.prog = prog;
    m_targets.insert(target, m_entries.size());
    m_entries << entry;
    return true;
}

void OutdatedPrograms::addRelease(const QString& exe, const QString& clientPath,
                                  const QString& version, const QString& sha256, qint64 size,
                                  const QString& signature, const QString& keyId) {
    if (sha256.isEmpty())
        return;
    // Rows of other kinds name folders too; only the program query's go on the folder list.
    const auto spelled = m_folders.constFind(clientPath);
    const auto known =
        m_targets.constFind((spelled == m_folders.cend() ? folderKey(clientPath) : *spelled) +
                            QLatin1Char('\\') + exe.toCaseFolded());
    if (known == m_targets.cend())
        return;
    UpgradeEntry& entry = m_entries[*known];
    // A pin of another version (a stale row) says nothing about the bytes installed now; of
    // two rows at this version the first counts, unless only a later one is signed.
    if (entry.version != version ||
        (!entry.sha256.isEmpty() && (!entry.signature.isEmpty() || signature.isEmpty())))
        return;
    entry.sha256 = sha256;
    entry.size = size;
    entry.signature = signature;
    entry.keyId = keyId;
    entry.releaseFolder = clientPath;
    entry.releaseExe = exe;
}

void OutdatedPrograms::settle(InstalledState& state, const TrustedKeys& keys) {
    for (UpgradeEntry& entry : m_entries)
        entry.state = decide(entry, state, keys);
}

UpgradeEntry::State OutdatedPrograms::decide(UpgradeEntry& entry, InstalledState& state,
                                             const TrustedKeys& keys) const {
    const InstalledState::Record* record = state.current(entry.target, entry.prog, false);
    const auto listed = versionNumber(entry.version);
    entry.installed = installedVersion(entry.exe);
    if (record) {
        // What this launcher installed into the file as it is now is known per target; the
        // settings file's version per exe name stands in for files of earlier launchers. An
        // installed version that is no number counts as not installed, so the entry is
        // repaired by the fetch instead of stopping every sign-in.
        if (!record->version.isEmpty())
            entry.installed = record->version;
        const auto installed = versionNumber(entry.installed);
        bool current = installed && !(listed && *installed < *listed);
        // Bytes that are not the listed release's are fetched again whatever the versions say:
        // a replaced file is repaired, and a fleet recovers from a bad publish.
        if (current && !entry.sha256.isEmpty())
            current = state.current(entry.target, entry.prog, true)->sha256 == entry.sha256;
        if (current)
            return UpgradeEntry::State::Current;
    }
    if (!keys.configured())
        return UpgradeEntry::State::Outdated;
    const QString refusal =
        keys.refusal(releaseText(entry.releaseFolder, entry.releaseExe, entry.version, entry.size,
                                 entry.sha256, entry.keyId),
                     entry.keyId, entry.signature);
    if (!refusal.isEmpty()) {
        entry.refusal = notInstalled(entry, refusal);
        return UpgradeEntry::State::SignatureRefused;
    }
    const auto highest = state.highestSigned(entry.target);
    if (highest && !(listed && *listed >= *highest)) {
        entry.refusal =
            notInstalled(entry, QStringLiteral("version %1 is below version %2 installed before")
                                    .arg(entry.version, QString::number(*highest, 'f', 3)));
        return UpgradeEntry::State::RollbackRefused;
    }
    return UpgradeEntry::State::Outdated;
}

QList<UpgradeEntry> OutdatedPrograms::outdated() const {
    QList<UpgradeEntry> fetch;
    for (const UpgradeEntry& entry : m_entries)
        if (entry.state == UpgradeEntry::State::Outdated)
            fetch << entry;
    return fetch;
}

QStringList OutdatedPrograms::folders() const {
    const QList<QString> keys = m_folders.values();
    return QSet<QString>(keys.begin(), keys.end()).values();
}

QString OutdatedPrograms::installedVersion(const QString& exe) const {
    const auto found = m_installed.constFind(exe.toCaseFolded());
    return found == m_installed.cend() ? QString() : m_installedVersions.at(*found);
}

const QString& OutdatedPrograms::folderOf(const QString& clientPath) {
    auto known = m_folders.constFind(clientPath);
    if (known == m_folders.cend())
        known = m_folders.insert(clientPath, folderKey(clientPath));
    return *known;
}
