#pragma once

#include <QByteArray>
#include <memory>

// SHA-256 over bytes fed in pieces, so a download is hashed while it arrives. Uses the
// system's libcrypto (already loaded through libpq) for its hardware-assisted code. Large
// pieces are hashed on a helper thread while the caller goes on receiving, so a hashed
// download takes about as long as an unhashed one; the thread touches nothing but its own
// copies of the bytes and ends in hexDigest or the destructor.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void add(const char* data, qsizetype count);
    // Lower-case hex of the bytes added so far; ends the hash. Raises if the library failed.
    QByteArray hexDigest();

private:
    struct State;
    std::unique_ptr<State> m_state;
};
