// Receives a stream of 512 MiB (or the size given) from a loopback peer into a file, once with
// TAsyncSocket::CaptureFile, once with a plain blocking recv loop and once with socat when it
// is installed, each receiver in a process of its own. Prints each one's throughput, its peak
// resident memory beside that of an idle process of the same kind, and the throughput ratio.
//
//   capture_bench [size-in-MiB [folder-for-the-files]]
//
// The peer runs in this process on its own thread and times each transfer from the accept to
// the receiver's close, so process start-up does not count.
#include "net/AsyncSock.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr int ChunkSize = 16383;

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

int connectTo(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(quint16(port));
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
        std::perror("connect");
        std::exit(2);
    }
    return s;
}

// Receiver: TAsyncSocket connects to the peer and captures until the peer has closed.
int runCapture(int port, const char* file) {
    int argc = 1;
    char name[] = "capture";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    TAsyncSocket sock;
    sock.Host = QStringLiteral("127.0.0.1");
    sock.Port = port;
    sock.Connect();
    sock.CaptureFile(QString::fromLocal8Bit(file));
    return sock.ReceivedBytes > 0 ? 0 : 1;
}

// Receiver: a blocking recv loop with the same call size, writing each block to the file.
int runRecv(int port, const char* file) {
    const int s = connectTo(port);
    FILE* out = std::fopen(file, "wb");
    if (out == nullptr)
        return 1;
    std::setvbuf(out, nullptr, _IONBF, 0);
    char buffer[ChunkSize];
    for (;;) {
        const ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        if (::write(fileno(out), buffer, size_t(n)) != n)
            return 1;
    }
    std::fclose(out);
    ::close(s);
    return 0;
}

// An idle process of each kind: what it holds before any transfer.
int runIdleQt() {
    int argc = 1;
    char name[] = "idle";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    TAsyncSocket sock;
    return sock.Socket() >= 0 ? 0 : 1;
}

struct Child {
    double seconds = 0;
    long peakKiB = 0;
    bool ok = false;
};

pid_t spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

Child waitFor(pid_t pid) {
    Child child;
    int status = 0;
    rusage usage{};
    if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
        child.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        child.peakKiB = usage.ru_maxrss;
    }
    return child;
}

// The peer: accepts one receiver, sends `size` bytes as fast as the loopback takes them, ends
// its side and waits for the receiver to close. Returns the seconds from accept to that close.
double serve(int listener, long long size) {
    const int s = ::accept(listener, nullptr, nullptr);
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = char((i * 131 + (i >> 11)) & 0xff);
    const double start = now();
    long long left = size;
    while (left > 0) {
        const ssize_t n =
            ::send(s, block.data(), size_t(std::min<long long>(left, block.size())), MSG_NOSIGNAL);
        if (n <= 0)
            break;
        left -= n;
    }
    ::shutdown(s, SHUT_WR);
    char sink[256];
    while (::recv(s, sink, sizeof sink, 0) > 0) {
    }
    const double seconds = now() - start;
    ::close(s);
    return left == 0 ? seconds : -1;
}

struct Result {
    const char* name;
    Child child;
    double seconds = -1;
    bool sizeOk = false;
};

Result measure(const char* name, const std::vector<std::string>& args, int listener, int port,
               long long size, const std::string& file) {
    Result result{name, {}, -1, false};
    double seconds = -1;
    std::thread peer([&] { seconds = serve(listener, size); });
    const pid_t pid = spawn(args);
    if (pid < 0) {
        // Nobody will connect: let the peer go.
        ::close(connectTo(port));
    }
    result.child = waitFor(pid);
    peer.join();
    result.seconds = seconds;
    result.sizeOk = QFileInfo(QString::fromStdString(file)).size() == size;
    std::remove(file.c_str());
    return result;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--capture") == 0 && argc == 4)
        return runCapture(std::atoi(argv[2]), argv[3]);
    if (argc >= 2 && std::strcmp(argv[1], "--recv") == 0 && argc == 4)
        return runRecv(std::atoi(argv[2]), argv[3]);
    if (argc >= 2 && std::strcmp(argv[1], "--idle") == 0)
        return runIdleQt();
    if (argc >= 2 && std::strcmp(argv[1], "--idle-plain") == 0)
        return 0;

    const long long mib = argc >= 2 ? std::atoll(argv[1]) : 512;
    const std::string folder = argc >= 3 ? argv[2] : ".";
    const long long size = mib * 1024 * 1024;
    const std::string self = argv[0];

    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("listen");
        return 2;
    }
    const int portNumber = ntohs(address.sin_port);
    const std::string port = std::to_string(portNumber);
    const std::string file = folder + "/capture_bench.bin";

    std::printf("Capture of %lld MiB from a loopback peer into %s\n", mib, file.c_str());
    std::vector<Result> results;
    results.push_back(
        measure("CaptureFile", {self, "--capture", port, file}, listener, portNumber, size, file));
    results.push_back(
        measure("recv loop", {self, "--recv", port, file}, listener, portNumber, size, file));
    const bool haveSocat = std::system("command -v socat >/dev/null 2>&1") == 0;
    if (haveSocat)
        results.push_back(measure(
            "socat", {"socat", "-u", "-b", "131072", "TCP:127.0.0.1:" + port, "CREATE:" + file},
            listener, portNumber, size, file));
    ::close(listener);

    const Child idleQt = waitFor(spawn({self, "--idle"}));
    const Child idlePlain = waitFor(spawn({self, "--idle-plain"}));

    std::printf("%-12s %10s %14s %8s\n", "receiver", "MiB/s", "peak RSS MiB", "result");
    for (const Result& r : results) {
        const bool ok = r.child.ok && r.sizeOk && r.seconds > 0;
        std::printf("%-12s %10.0f %14.1f %8s\n", r.name, ok ? double(mib) / r.seconds : 0.0,
                    double(r.child.peakKiB) / 1024.0, ok ? "ok" : "FAILED");
    }
    std::printf("idle process: %.1f MiB with Qt and one TAsyncSocket, %.1f MiB plain\n",
                double(idleQt.peakKiB) / 1024.0, double(idlePlain.peakKiB) / 1024.0);
    const double capture = double(mib) / results[0].seconds;
    const double reference = double(mib) / results[1].seconds;
    std::printf("CaptureFile / recv loop throughput: %.2f\n", capture / reference);
    if (haveSocat)
        std::printf("CaptureFile / socat throughput:     %.2f\n",
                    capture / (double(mib) / results[2].seconds));
    std::printf("CaptureFile peak RSS above the idle process: %.1f MiB\n",
                double(results[0].child.peakKiB - idleQt.peakKiB) / 1024.0);
    return 0;
}
