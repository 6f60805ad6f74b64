#pragma once

#include <QString>
#include <QStringList>

// The text rules by which a program row of the database becomes a host, a remote file and a
// chain of local folders. All texts are Windows paths as the database gives them.

// The host of a server path: everything before the first colon; empty without a colon.
QString serverHost(const QString& serverPath);

// The remote file: the server path's folder (after the host, the colon and one separator,
// at most 100 characters), "/", the exe name.
QString remoteFileName(const QString& serverPath, const QString& host, const QString& exeName);

// The folders to make sure of for a client folder, from the top folder under the drive down
// to the folder itself.
QStringList folderChain(const QString& folder);

// False for a name that could lead outside its client folder: empty, "." or "..", or holding
// a path separator or a zero character.
bool isSafeExeName(const QString& exeName);

// False for a client folder with a ".." component or a "/" of its own.
bool isSafeClientFolder(const QString& folder);

// A client folder as one text for comparing, as Windows compares paths: empty and "."
// components dropped, letter case ignored.
QString folderKey(const QString& folder);
