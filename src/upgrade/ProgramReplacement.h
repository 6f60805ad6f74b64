#pragma once

#include <QString>

// Replaces one client program file safely: the new file is written to a part file beside it
// and renamed over the old one only once it is complete, so a failed download never leaves
// the workstation without a working program. A rename also works while the old program runs
// (writing into a running program fails with ETXTBSY); the running copy keeps its file.
class ProgramReplacement {
public:
    // `localPath` is the program's path on disk (already mapped from its Windows path).
    explicit ProgramReplacement(QString localPath);
    // An uncommitted part file is removed.
    ~ProgramReplacement();
    ProgramReplacement(const ProgramReplacement&) = delete;
    ProgramReplacement& operator=(const ProgramReplacement&) = delete;

    // True when the old file is there but must not or cannot be replaced: it is marked
    // read-only, or it or its folder is not writable.
    bool blocked() const;
    // Where the download goes.
    const QString& partPath() const { return m_partPath; }
    // Gives the part file execute permission and renames it over the program. Raises
    // Exception when either fails; the old program is then untouched.
    void commit();
    // Removes the part file (whatever part of it was written).
    void discard();

private:
    QString m_localPath;
    QString m_partPath;
    bool m_committed = false;
};
