#pragma once

#include <QString>

// Maps a Windows path on drive c: to a folder on disk: $QUORVANE_DRIVE_C when set, else
// $XDG_DATA_HOME/quorvane/c (default ~/.local/share/quorvane/c). Backslashes become "/".
// Each component is matched against what exists without regard to letter case, as Windows
// does; what does not exist yet keeps its spelling. A path with a ".." component, or on
// another drive, or relative, maps to the empty text, and so does every path once the drive
// folder was refused at start.
QString mapDrivePath(const QString& windowsPath);

// The folder that stands for "c:\".
QString driveRoot();

// Creates the folder that stands for "c:\" with every missing parent, owner-only (it holds
// the settings file and the client programs), as a Windows drive always exists. An existing
// one that group or others may write is tightened to owner-only; one of another user is
// refused. Returns the empty text, or the message that says which folder on disk could not be
// made the user's own and why; the drive then maps nothing.
QString createDriveRoot();

// True when the path on disk, with every link on its way resolved, is the drive folder or
// lies below it.
bool isInsideDrive(const QString& diskPath);

// Opens a folder on disk for the *at calls, when it lies inside the drive folder as it is
// opened (so no link swapped in on its way can lead out); -1 with errno otherwise.
int openDriveFolder(const QString& diskPath);
