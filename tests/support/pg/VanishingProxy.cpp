#include "VanishingProxy.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A filter that keeps no packet: TCP discards what it drops before answering anything.
bool dropEverything(int fd, bool drop) {
    sock_filter keepNothing{BPF_RET | BPF_K, 0, 0, 0};
    sock_fprog program{1, &keepNothing};
    if (drop)
        return ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
    const int unused = 0; // the kernel wants an int here, though it reads none
    return ::setsockopt(fd, SOL_SOCKET, SO_DETACH_FILTER, &unused, sizeof unused) == 0;
}

} // namespace

VanishingProxy::VanishingProxy(int serverPort) : m_serverPort(serverPort) {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(m_listener, 16) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("VanishingProxy: no listening socket");
    m_port = ntohs(address.sin_port);
    m_canVanish = dropEverything(m_listener, true) && dropEverything(m_listener, false);
    m_thread = std::thread([this] { run(); });
}

VanishingProxy::~VanishingProxy() {
    m_stop = true;
    m_thread.join();
    ::close(m_listener);
}

void VanishingProxy::vanish() {
    settle(true);
}

void VanishingProxy::revive() {
    settle(false);
}

void VanishingProxy::stall() {
    m_stalled = true;
}

void VanishingProxy::resume() {
    m_stalled = false;
}

void VanishingProxy::settle(bool vanished) {
    m_wantVanished = vanished;
    while (m_vanished != vanished)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void VanishingProxy::run() {
    std::vector<Pair> pairs;
    std::vector<int> dead; // the sockets of a vanished host: kept open, never answered
    while (!m_stop) {
        if (m_wantVanished != m_vanished) {
            const bool vanish = m_wantVanished;
            dropEverything(m_listener, vanish);
            if (vanish) {
                for (const Pair& pair : pairs) {
                    dropEverything(pair.client, true);
                    dead.push_back(pair.client);
                    dead.push_back(pair.server);
                }
                pairs.clear();
            }
            m_vanished = vanish;
        }
        if (m_stalled) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        std::vector<pollfd> ready{{m_listener, POLLIN, 0}};
        for (const Pair& pair : pairs) {
            ready.push_back({pair.client, POLLIN, 0});
            ready.push_back({pair.server, POLLIN, 0});
        }
        if (::poll(ready.data(), ready.size(), 10) <= 0)
            continue;
        for (size_t i = pairs.size(); i-- > 0;) {
            if (ready[1 + 2 * i].revents)
                forward(pairs[i].client, pairs[i].server, pairs, i);
            else if (ready[2 + 2 * i].revents)
                forward(pairs[i].server, pairs[i].client, pairs, i);
        }
        if (ready[0].revents & POLLIN) {
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in address = loopback(m_serverPort);
            if (server < 0 ||
                ::connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address)) {
                ::close(client);
                if (server >= 0)
                    ::close(server);
                continue;
            }
            ++m_accepted;
            pairs.push_back({client, server});
        }
    }
    for (const Pair& pair : pairs) {
        ::close(pair.client);
        ::close(pair.server);
    }
    for (int fd : dead)
        ::close(fd);
}

// One read's worth from one side to the other; an end or an error on either side ends both.
void VanishingProxy::forward(int from, int to, std::vector<Pair>& pairs, size_t index) {
    char buffer[65536];
    const ssize_t got = ::recv(from, buffer, sizeof buffer, 0);
    ssize_t sent = 0;
    while (got > 0 && sent < got) {
        const ssize_t n = ::send(to, buffer + sent, size_t(got - sent), MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += n;
    }
    if (got <= 0 || sent < got) {
        ::close(pairs[index].client);
        ::close(pairs[index].server);
        pairs.erase(pairs.begin() + std::ptrdiff_t(index));
    }
}
