#pragma once

#include <QString>

// Replaces one client program file safely: the new file is written to a part file beside it
// and renamed over the old one only once it is complete, so a failed download never leaves
// the workstation without a working program. A rename also works while the old program runs
// (writing into a running program fails with ETXTBSY); the running copy keeps its file.
// The part file is made fresh under a name nobody can guess and is written, given its
// permissions and renamed through descriptors: no link planted in the folder is followed.
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
    // Creates the part file, owner-only, in the program's folder when that folder lies inside
    // the drive folder; returns its descriptor, open for writing. Raises Exception otherwise.
    int createPart();
    // Where the download goes.
    const QString& partPath() const { return m_partPath; }
    // Gives the part file execute permission and renames it over the program. Raises
    // Exception when either fails; the old program is then untouched.
    void commit();
    // Removes the part file (whatever part of it was written).
    void discard();

    // Removes from a folder on disk the part files of launchers that are gone (killed, or the
    // machine went down): nobody finishes them, and they may be large.
    static void removeDeadParts(const QString& folder);

private:
    void close();

    QString m_localPath;
    QString m_partName;
    QString m_partPath;
    int m_folder = -1;
    int m_part = -1;
};
