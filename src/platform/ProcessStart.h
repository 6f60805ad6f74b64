#pragma once

#include <QString>

// Process start of a command line, Windows style: a result of 32 or more means started,
// below 32 it is the error code (2 file not found, 3 path not found, 5 access denied,
// 8 out of memory, 11 bad format).
class ProcessStarter {
public:
    virtual ~ProcessStarter() = default;
    virtual unsigned winExec(const QString& commandLine, int showMode) = 0;
};

// The real starter: splits at single blanks (empty fields kept), opens the first word through
// the drive mapping's checked handle, starts that very file detached (no zombie), inheriting
// the current folder and the environment. The program gets every word as written, its own
// path included, so its arguments joined by blanks give the command line back. Only a file
// inside the drive folder, the user's alone, is started ("\x" lies on drive c:); a first word
// that maps to nothing there, a relative one or a bare name gives 3, a component of another
// account 5. A Windows program file ("MZ") runs through wine (by its absolute path, see
// WinePrefix) in a prefix whose c: is the drive folder, with its Windows path as its first
// argument; without wine it gives 11. A prefix named by WINEPREFIX whose c: is elsewhere
// raises Exception with the message that says so.
class SystemProcessStarter : public ProcessStarter {
public:
    unsigned winExec(const QString& commandLine, int showMode) override;
};

ProcessStarter& processStarter();
void setProcessStarter(ProcessStarter* starter);

constexpr int SW_SHOWNORMAL = 1;
inline unsigned WinExec(const QString& commandLine, int showMode) {
    return processStarter().winExec(commandLine, showMode);
}
