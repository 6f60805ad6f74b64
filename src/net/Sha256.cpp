#include "net/Sha256.h"

#include "platform/Exception.h"

#include <openssl/evp.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {
// Pieces from this size on go to the helper thread; smaller files are done before it pays.
constexpr qsizetype ThreadFrom = 64 * 1024;
// Pieces waiting for the helper at most: bounds the memory a fast sender can tie up.
constexpr std::size_t MaxQueued = 2;
} // namespace

struct Sha256::State {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    std::thread worker;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<QByteArray> queue;
    bool stopping = false;
    // An update the library refused; read only after the helper has ended.
    bool failed = false;

    ~State() {
        finish();
        EVP_MD_CTX_free(context);
    }

    void update(const char* data, qsizetype count) {
        if (EVP_DigestUpdate(context, data, static_cast<size_t>(count)) != 1)
            failed = true;
    }

    void work() {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return stopping || !queue.empty(); });
            if (queue.empty())
                return;
            QByteArray piece = std::move(queue.front());
            queue.pop_front();
            changed.notify_all(); // room in the queue again
            lock.unlock();
            update(piece.constData(), piece.size());
            piece = QByteArray(); // the caller may take its buffer up again
            lock.lock();
        }
    }

    void enqueue(const QByteArray& piece) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return queue.size() < MaxQueued; });
        queue.push_back(piece);
        changed.notify_all();
    }

    // Waits until every queued piece is hashed and the helper has ended.
    void finish() {
        if (!worker.joinable())
            return;
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        worker.join();
    }
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
    if (!m_state->context || EVP_DigestInit_ex(m_state->context, EVP_sha256(), nullptr) != 1)
        throw Exception(QStringLiteral("SHA-256 is not available"));
}

Sha256::~Sha256() = default;

void Sha256::add(const QByteArray& piece) {
    if (piece.isEmpty())
        return;
    State& s = *m_state;
    // Once the helper runs every piece goes through it, so the order of the bytes is kept.
    if (!s.worker.joinable() && piece.size() < ThreadFrom) {
        s.update(piece.constData(), piece.size());
        return;
    }
    if (!s.worker.joinable())
        s.worker = std::thread([&s] { s.work(); });
    s.enqueue(piece);
}

QByteArray Sha256::hexDigest() {
    m_state->finish();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (m_state->failed || EVP_DigestFinal_ex(m_state->context, digest, &length) != 1)
        throw Exception(QStringLiteral("SHA-256 failed"));
    return QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(length))
        .toHex();
}
