#pragma once

#include <QString>

// Maps a Windows path on drive c: to a folder on disk: $QUORVANE_DRIVE_C when set, else
// $XDG_DATA_HOME/quorvane/c (default ~/.local/share/quorvane/c). Backslashes become "/".
// A path with a ".." component, or on another drive, or relative, maps to the empty text.
QString mapDrivePath(const QString& windowsPath);

// The folder that stands for "c:\".
QString driveRoot();

// Creates the folder that stands for "c:\" with every missing parent, owner-only (it holds
// the settings file and the client programs), as a Windows drive always exists. Returns the
// empty text, or the message that says which folder on disk could not be created and why.
QString createDriveRoot();
