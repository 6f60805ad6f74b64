#pragma once

#include <QByteArray>
#include <QString>

// Where Windows programs run: wine, by its absolute path, in a wine prefix whose drive c: is
// the drive folder, so a program finds its own file, the settings file and wine's folders
// under "c:\" as it would on Windows.
class WinePrefix {
public:
    // $QUORVANE_WINE when it is an absolute path, else /usr/bin/wine; never looked up through
    // PATH, where an empty element or another account's folder could stand in. Empty when
    // that file is not there: Windows programs then do not start.
    static QByteArray wineProgram();

    // The prefix to run in, made ready for a start: $WINEPREFIX when set, which must already
    // have the drive folder as its c: (raises Exception with the message that says so when it
    // has not); else the launcher's own, in the user's data folder, made here with its c:
    // pointing at the drive folder. Raises Exception when it cannot be made.
    static QString prepare();

    // True while the launcher's own prefix is being filled by wine's first start on this
    // account (it takes seconds); false once it is ready or when another prefix is used.
    static bool preparing();

    // The launcher's own prefix: $XDG_DATA_HOME/quorvane/wine, per account.
    static QString ownPrefix();
};
