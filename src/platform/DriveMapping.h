#pragma once

#include <QString>

// Maps a Windows path on drive c: to a folder on disk: $QUORVANE_DRIVE_C when set, else
// $XDG_DATA_HOME/quorvane/c (default ~/.local/share/quorvane/c). Backslashes become "/".
// Each component is matched against what exists without regard to letter case, as Windows
// does; what does not exist yet keeps its spelling. A path with a ".." component, or on
// another drive, or relative, maps to the empty text, and so does every path once the drive
// folder was refused at start.
QString mapDrivePath(const QString& windowsPath);

// The user's data folder of the launcher: $XDG_DATA_HOME/quorvane.
QString dataFolder();

// The folder that stands for "c:\".
QString driveRoot();

// Creates the folder that stands for "c:\" with every missing parent, owner-only (it holds
// the settings file and the client programs), as a Windows drive always exists. An existing
// one that group or others may write is tightened to owner-only; one of another user is
// refused. Returns the empty text, or the message that says which folder on disk could not be
// made the user's own and why; the drive then maps nothing. The folder is kept open from here
// on, so a link on its way that is re-pointed later leads nowhere else.
QString createDriveRoot();

// A file or folder inside the drive folder, reached from the drive folder one component at a
// time through open descriptors: no link is followed and nothing outside is reached. Every
// component is the user's and writable by no one else: one the user owns is tightened, any
// other refused, so no other account can swap what the handle's holder then uses.
class DriveHandle {
public:
    DriveHandle() = default;
    DriveHandle(int fd, int error, QString diskPath);
    DriveHandle(DriveHandle&& other) noexcept;
    DriveHandle& operator=(DriveHandle&& other) noexcept;
    DriveHandle(const DriveHandle&) = delete;
    DriveHandle& operator=(const DriveHandle&) = delete;
    ~DriveHandle();

    bool isOpen() const { return m_fd >= 0; }
    // The descriptor, close-on-exec; files are open for reading, folders for the *at calls.
    int fd() const { return m_fd; }
    // The errno of a refusal: ENOENT missing, ENOTDIR or ELOOP a wrong or linked component,
    // EPERM a component of another account, and what else the open reported.
    int error() const { return m_error; }
    // Where it lies on disk, for messages.
    const QString& diskPath() const { return m_diskPath; }
    // Hands the descriptor over to the caller, who closes it.
    int release();

private:
    int m_fd = -1;
    int m_error = 0;
    QString m_diskPath;
};

enum class DriveAccess {
    File,       // an existing file (or folder), open for reading
    Folder,     // an existing folder
    MakeFolders // a folder, created with every missing level below the drive folder
};

// Opens "c:\..." (or a path rooted at "\") by the drive mapping's rules.
DriveHandle openDrivePath(const QString& windowsPath, DriveAccess access);

// The same for a path on disk at or below the drive folder, as mapDrivePath gave it.
DriveHandle openDriveDiskPath(const QString& diskPath, DriveAccess access);

// Replaces the file "c:\..." whole: a temporary file in the same folder, written, synced and
// renamed over the old one through the folder's checked handle, so a crash never leaves half
// a file and nothing is written through a link. `mode` is the new file's. False on failure.
bool replaceDriveFile(const QString& windowsPath, const QByteArray& data, unsigned mode);
