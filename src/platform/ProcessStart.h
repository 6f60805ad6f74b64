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

// The real starter: splits at single blanks (empty fields kept), maps the first word through
// the drive mapping, starts detached (no zombie), inheriting the current folder and the
// environment. A Windows program file ("MZ") runs through wine when wine is on PATH,
// otherwise gives 11. The program gets every word as written, its own path included, so its
// arguments joined by blanks give the command line back. Only a file inside the drive folder
// is started ("\x" lies on drive c:); a first word that maps to nothing there, a relative
// one or a bare name gives 3.
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
