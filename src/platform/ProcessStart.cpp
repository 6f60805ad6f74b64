#include "platform/ProcessStart.h"

#include "platform/DriveMapping.h"
#include "platform/WinePrefix.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr unsigned StartedCode = 33;
constexpr unsigned FileNotFound = 2;
constexpr unsigned PathNotFound = 3;
constexpr unsigned AccessDenied = 5;
constexpr unsigned OutOfMemory = 8;
constexpr unsigned BadFormat = 11;

unsigned codeForErrno(int error, bool folderExists) {
    switch (error) {
    case ENOENT:
        // A missing file is "file not found" only when its folder exists.
        return folderExists ? FileNotFound : PathNotFound;
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG:
        return PathNotFound;
    case EACCES:
    case EPERM:
    case ETXTBSY:
        return AccessDenied;
    case ENOMEM:
    case E2BIG:
    case EAGAIN:
    case EMFILE:
    case ENFILE:
        return OutOfMemory;
    default:
        return BadFormat;
    }
}

bool startsWithMz(int fd) {
    struct stat st {};
    char magic[2] = {0, 0};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::pread(fd, magic, 2, 0) == 2 &&
           magic[0] == 'M' && magic[1] == 'Z';
}

// The drive path that the first word names: "c:\..." as written, a path rooted at "\" on
// drive c:. The command line carries the password, so nothing else starts: no name relative
// to the current folder, no PATH look-up.
QString drivePathOf(const QString& word) {
    if (word.size() >= 2 && word.at(1) == QLatin1Char(':'))
        return word;
    if (word.startsWith(QLatin1Char('\\')) || word.startsWith(QLatin1Char('/')))
        return QStringLiteral("c:") + word;
    return {};
}

unsigned refusalCode(const QString& drivePath, const DriveHandle& program) {
    if (program.error() != ENOENT)
        return codeForErrno(program.error(), true);
    QString folder = drivePath;
    folder.replace(QLatin1Char('/'), QLatin1Char('\\'));
    folder.truncate(qMax(folder.lastIndexOf(QLatin1Char('\\')), 2));
    return codeForErrno(ENOENT, openDrivePath(folder, DriveAccess::Folder).isOpen());
}

// Starts argv detached: the intermediate child exits at once and is reaped here, the program
// runs as a grandchild in its own session, so no zombie is left and the launcher never waits
// for it. A close-on-exec pipe carries the errno of a failed exec back to us.
unsigned spawnDetached(int fd, const QList<QByteArray>& args, const QList<QByteArray>& env) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const QByteArray& arg : args) {
        argv.push_back(const_cast<char*>(arg.constData()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (const QByteArray& variable : env) {
        envp.push_back(const_cast<char*>(variable.constData()));
    }
    envp.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return OutOfMemory;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return codeForErrno(error, true);
    }
    if (child == 0) {
        // Only async-signal-safe calls from here on.
        ::close(pipeFds[0]);
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild < 0) {
            const int error = errno;
            [[maybe_unused]] const ssize_t n = ::write(pipeFds[1], &error, sizeof error);
            ::_exit(1);
        }
        if (grandchild > 0) {
            ::_exit(0);
        }
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction dfl = {};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &dfl, nullptr);
        ::sigaction(SIGCHLD, &dfl, nullptr);
        // The checked file itself runs, never what its name leads to by now. A script reads
        // itself through /dev/fd, so the descriptor stays open across the exec.
        ::fcntl(fd, F_SETFD, 0);
        ::execveat(fd, "", argv.data(), envp.data(), AT_EMPTY_PATH);
        const int error = errno;
        [[maybe_unused]] const ssize_t n = ::write(pipeFds[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got;
    do {
        got = ::read(pipeFds[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    ::close(pipeFds[0]);
    if (got == static_cast<ssize_t>(sizeof error)) {
        return codeForErrno(error, true);
    }
    return StartedCode;
}

QList<QByteArray> currentEnvironment() {
    QList<QByteArray> env;
    for (char** variable = environ; *variable != nullptr; ++variable)
        env.append(QByteArray(*variable));
    return env;
}

void setVariable(QList<QByteArray>& env, const QByteArray& name, const QByteArray& value) {
    env.removeIf([&](const QByteArray& variable) { return variable.startsWith(name + '='); });
    env.append(name + '=' + value);
}

} // namespace

// The window mode has no meaning here: a started program opens its windows as it likes.
unsigned SystemProcessStarter::winExec(const QString& commandLine, int /*showMode*/) {
    // Windows takes a command line as one text; its first blank-separated word names the
    // program. Every word, the first included as written, reaches the program unchanged.
    const QStringList words = commandLine.split(QLatin1Char(' '));
    const QString drivePath = drivePathOf(words.first());
    if (drivePath.isEmpty())
        return words.first().isEmpty() ? FileNotFound : PathNotFound;
    const DriveHandle program = openDrivePath(drivePath, DriveAccess::File);
    if (!program.isOpen())
        return refusalCode(drivePath, program);
    QList<QByteArray> args;
    for (const QString& word : words) {
        args.append(word.toLocal8Bit());
    }
    QList<QByteArray> env = currentEnvironment();
    if (!startsWithMz(program.fd()))
        return spawnDetached(program.fd(), args, env);

    const QByteArray wine = WinePrefix::wineProgram();
    if (wine.isEmpty())
        return BadFormat;
    const int wineFd = ::open(wine.constData(), O_PATH | O_CLOEXEC);
    if (wineFd < 0)
        return codeForErrno(errno, true);
    const bool fresh = !QFileInfo::exists(WinePrefix::ownPrefix() + QStringLiteral("/system.reg"));
    try {
        setVariable(env, "WINEPREFIX", QFile::encodeName(WinePrefix::prepare()));
    } catch (...) {
        ::close(wineFd);
        throw;
    }
    // A new prefix would ask on screen for add-ons to download and hold the first start.
    if (fresh && qEnvironmentVariableIsEmpty("WINEDLLOVERRIDES") &&
        qEnvironmentVariableIsEmpty("WINEPREFIX"))
        setVariable(env, "WINEDLLOVERRIDES", "mscoree,mshtml=");
    // The program sees its own Windows path as its first argument, as on Windows; wine finds
    // it on c:, the drive folder, whose components were just checked to be the user's alone.
    args[0] = drivePath.toLocal8Bit();
    args.prepend(wine);
    const unsigned result = spawnDetached(wineFd, args, env);
    ::close(wineFd);
    return result;
}

namespace {
SystemProcessStarter systemStarter;
ProcessStarter* currentStarter = &systemStarter;
} // namespace

ProcessStarter& processStarter() {
    return *currentStarter;
}

void setProcessStarter(ProcessStarter* starter) {
    currentStarter = starter ? starter : &systemStarter;
}
