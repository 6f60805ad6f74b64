#include "platform/ProcessStart.h"

#include "platform/DriveMapping.h"

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

bool isDirectory(const QByteArray& path) {
    struct stat st;
    return ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A missing file is "file not found" only when its folder exists; otherwise the path is wrong.
unsigned missingFileCode(const QByteArray& path) {
    const int slash = path.lastIndexOf('/');
    const QByteArray folder = slash < 0    ? QByteArray(".")
                              : slash == 0 ? QByteArray("/")
                                           : path.left(slash);
    return isDirectory(folder) ? FileNotFound : PathNotFound;
}

unsigned codeForErrno(int error, const QByteArray& path) {
    switch (error) {
    case ENOENT:
        return missingFileCode(path);
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

// An executable file of that name in one of the PATH folders, or empty.
QByteArray findOnPath(const QByteArray& name) {
    const QByteArray path = qgetenv("PATH");
    for (const QByteArray& folder : path.split(':')) {
        const QByteArray candidate = (folder.isEmpty() ? QByteArray(".") : folder) + '/' + name;
        if (::access(candidate.constData(), X_OK) == 0 && !isDirectory(candidate)) {
            return candidate;
        }
    }
    return {};
}

bool startsWithMz(const QByteArray& path) {
    // Non-blocking so that a FIFO under that name cannot hang the caller.
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    char magic[2] = {0, 0};
    const bool mz = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::read(fd, magic, 2) == 2 &&
                    magic[0] == 'M' && magic[1] == 'Z';
    ::close(fd);
    return mz;
}

struct ProgramFile {
    QByteArray path;
    unsigned error = 0;
};

// The file that the first word names: a drive path, or a path rooted at "\" (on drive c:),
// through the drive mapping. The command line carries the password, so only a file inside the
// drive folder is started, with every link on its way resolved: no name relative to the
// current folder, no PATH look-up, no link that leads out.
ProgramFile locateProgram(const QString& word) {
    if (word.isEmpty()) {
        return {{}, FileNotFound};
    }
    QString mapped;
    if (word.size() >= 2 && word.at(1) == QLatin1Char(':')) {
        mapped = mapDrivePath(word);
    } else if (word.startsWith(QLatin1Char('\\')) || word.startsWith(QLatin1Char('/'))) {
        mapped = mapDrivePath(QStringLiteral("c:") + word);
    }
    if (mapped.isEmpty()) {
        return {{}, PathNotFound};
    }
    const QByteArray path = QFile::encodeName(mapped);
    char* resolved = ::realpath(path.constData(), nullptr);
    if (resolved == nullptr) {
        return {path, codeForErrno(errno, path)};
    }
    const QByteArray file(resolved);
    std::free(resolved);
    if (!isInsideDrive(QFile::decodeName(file))) {
        return {{}, PathNotFound};
    }
    return {file, 0};
}

// Starts argv detached: the intermediate child exits at once and is reaped here, the program
// runs as a grandchild in its own session, so no zombie is left and the launcher never waits
// for it. A close-on-exec pipe carries the errno of a failed exec back to us.
unsigned spawnDetached(const QByteArray& file, const QList<QByteArray>& args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const QByteArray& arg : args) {
        argv.push_back(const_cast<char*>(arg.constData()));
    }
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return OutOfMemory;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return codeForErrno(error, file);
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
        ::execve(file.constData(), argv.data(), environ);
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
        return codeForErrno(error, file);
    }
    return StartedCode;
}

} // namespace

// The window mode has no meaning here: a started program opens its windows as it likes.
unsigned SystemProcessStarter::winExec(const QString& commandLine, int /*showMode*/) {
    // Windows takes a command line as one text; its first blank-separated word names the
    // program. Every word, the first included as written, reaches the program unchanged.
    const QStringList words = commandLine.split(QLatin1Char(' '));
    const ProgramFile program = locateProgram(words.first());
    if (program.error != 0) {
        return program.error;
    }
    QList<QByteArray> args;
    for (const QString& word : words) {
        args.append(word.toLocal8Bit());
    }
    if (startsWithMz(program.path)) {
        const QByteArray wine = findOnPath("wine");
        if (wine.isEmpty()) {
            return BadFormat;
        }
        args[0] = program.path;
        args.prepend(QByteArrayLiteral("wine"));
        return spawnDetached(wine, args);
    }
    return spawnDetached(program.path, args);
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
