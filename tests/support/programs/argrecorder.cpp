// Appends its whole argv, argv[0] included, as one line to the file named by QV_ARGS_OUT: a
// JSON array of strings. Bytes from 0x80 up pass through unchanged; quote, backslash and
// control bytes are escaped. The line goes out in one append write, so records of programs
// running side by side never mix. Then sleeps QV_ARGS_SLEEP_MS milliseconds when set.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

void appendEscaped(std::string& out, const char* text) {
    out += '"';
    for (const char* p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

} // namespace

int main(int argc, char** argv) {
    const char* outName = std::getenv("QV_ARGS_OUT");
    if (outName && *outName) {
        std::string line = "[";
        for (int i = 0; i < argc; ++i) {
            if (i > 0) {
                line += ',';
            }
            appendEscaped(line, argv[i]);
        }
        line += "]\n";
        const int fd = ::open(outName, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            return 2;
        }
        ::close(fd);
    }
    if (const char* sleepMs = std::getenv("QV_ARGS_SLEEP_MS")) {
        const long ms = std::strtol(sleepMs, nullptr, 10);
        timespec pause{ms / 1000, (ms % 1000) * 1000000L};
        while (ms > 0 && ::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
    return 0;
}
