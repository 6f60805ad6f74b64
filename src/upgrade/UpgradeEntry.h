#pragma once

#include <QString>

// One program file the upgrade keeps current: one client folder and exe name (letter case
// ignored), the release the database lists for it, and what the check made of it. The fetch,
// the pin, the settings file and the report all go by this one record.
struct UpgradeEntry {
    enum class State { Current, Outdated, SignatureRefused, RollbackRefused };

    QString target; // folder key, "\", case-folded exe name
    QString exe;
    QString clientPath;
    QString serverPath;
    QString version; // as the program query reads it, e.g. "1.250"
    QString prog;    // the full Windows path of the file
    // The release at this version (digest query): digest, size in bytes (-1: not stated), the
    // publisher's signature (base64) and key id, and the row's own folder and exe name, which
    // the signature covers.
    QString sha256;
    qint64 size = -1;
    QString signature;
    QString keyId;
    QString releaseFolder;
    QString releaseExe;

    // The version installed at the target as far as known: what this launcher installed into
    // the file as it is now, else what the settings file records for the exe name.
    QString installed;
    State state = State::Current;
    // Why the release is refused.
    QString refusal;
};
