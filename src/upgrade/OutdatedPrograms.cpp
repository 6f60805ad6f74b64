#include "upgrade/OutdatedPrograms.h"

#include "platform/DriveMapping.h"
#include "upgrade/UpgradePaths.h"

#include <optional>

namespace {

// A version text as a number; nullopt when it is none (an empty or hand-edited value).
std::optional<double> versionNumber(const QString& text) {
    bool ok = false;
    const double value = text.toDouble(&ok);
    return ok ? std::optional<double>(value) : std::nullopt;
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

OutdatedPrograms::Row OutdatedPrograms::addRow(const QString& exe, const QString& clientPath,
                                               const QString& serverPath, const QString& version,
                                               const QString& prog) {
    // The settings file's folder holds no program: a row there would replace the settings.
    const QString& folder = folderOf(clientPath);
    if (folder == m_baseFolder)
        return Row::Skipped;
    const QString name = exe.toCaseFolded();
    const QString target = folder + QLatin1Char('\\') + name;
    if (m_added.contains(target))
        return Row::Added;
    const auto found = m_installed.constFind(name);
    // An installed version that is no number counts as not installed, so the entry is
    // repaired by the fetch instead of stopping every sign-in.
    const auto installed =
        found == m_installed.cend() ? std::nullopt : versionNumber(m_installedVersions.at(*found));
    const auto listed = versionNumber(version);
    if (installed && !(listed && *installed < *listed) && fileExists(target, prog))
        return Row::Current;
    add(target, exe, clientPath, serverPath, version);
    return Row::Added;
}

QStringList OutdatedPrograms::folders() const {
    const QList<QString> keys = m_folders.values();
    return QSet<QString>(keys.begin(), keys.end()).values();
}

QString OutdatedPrograms::installedVersion(const QString& exe) const {
    const auto found = m_installed.constFind(exe.toCaseFolded());
    return found == m_installed.cend() ? QString() : m_installedVersions.at(*found);
}

void OutdatedPrograms::add(const QString& target, const QString& exe, const QString& clientPath,
                           const QString& serverPath, const QString& version) {
    m_added.insert(target);
    m_targets << target;
    exeNames << exe;
    clientPaths << clientPath;
    serverPaths << serverPath;
    versions << version;
}

const QString& OutdatedPrograms::folderOf(const QString& clientPath) {
    auto known = m_folders.constFind(clientPath);
    if (known == m_folders.cend())
        known = m_folders.insert(clientPath, folderKey(clientPath));
    return *known;
}

bool OutdatedPrograms::fileExists(const QString& target, const QString& prog) {
    auto known = m_exists.constFind(target);
    if (known == m_exists.cend()) {
        // A file that is not the user's alone is as good as missing: it is fetched again.
        known = m_exists.insert(target, openDrivePath(prog, DriveAccess::File).isOpen());
    }
    return *known;
}

void OutdatedPrograms::addDigest(const QString& exe, const QString& clientPath,
                                 const QString& digest) {
    if (digest.isEmpty())
        return;
    QStringList& listed = m_pins[folderOf(clientPath) + QLatin1Char('\\') + exe.toCaseFolded()];
    if (!listed.contains(digest))
        listed << digest;
}

QStringList OutdatedPrograms::digests() const {
    QStringList pinned;
    pinned.reserve(m_targets.size());
    for (const QString& target : m_targets)
        pinned << m_pins.value(target).join(QLatin1Char(' '));
    return pinned;
}
