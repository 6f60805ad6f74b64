#pragma once

// A TCP relay on 127.0.0.1 in front of a server port on 127.0.0.1, standing in for a host that
// can vanish as a machine does whose cable is cut: vanish() makes the kernel drop every packet
// that reaches the relay's sockets (a socket filter), so a client gets no reset, no
// acknowledgement of its data and no answer to its keepalives, and new connections get no
// answer either. A relay that merely stops forwarding would not do: its kernel would still
// acknowledge everything. revive() serves new connections again; the old ones stay dead.
// stall() stands in for a hung server or a stalled proxy instead: the relay keeps every
// connection open but forwards nothing, in either direction, and answers no new connection;
// the kernel still acknowledges everything, so keepalives never fire. resume() forwards again.
// The relay runs on a thread of its own, so it forwards while the test's thread waits in a
// statement. Where the system refuses socket filters to the test's user (some kernels and
// sandboxes do), canVanish() says so and the relay only forwards.

#include <atomic>
#include <thread>
#include <vector>

class VanishingProxy {
public:
    explicit VanishingProxy(int serverPort);
    ~VanishingProxy();
    VanishingProxy(const VanishingProxy&) = delete;
    VanishingProxy& operator=(const VanishingProxy&) = delete;

    int port() const { return m_port; }
    bool canVanish() const { return m_canVanish; }
    // Connections accepted so far.
    int accepted() const { return m_accepted; }
    void vanish();
    void revive();
    void stall();
    void resume();

private:
    struct Pair {
        int client;
        int server;
    };
    void run();
    void forward(int from, int to, std::vector<Pair>& pairs, size_t index);
    void settle(bool vanished); // waits until the relay's thread has acted on it

    int m_serverPort;
    int m_listener = -1;
    int m_port = 0;
    bool m_canVanish = false;
    std::atomic<int> m_accepted{0};
    std::atomic<bool> m_wantVanished{false};
    std::atomic<bool> m_vanished{false};
    std::atomic<bool> m_stalled{false};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
