#pragma once

#include <QByteArray>
#include <memory>

// SHA-256 over bytes fed in pieces, so a download is hashed while it arrives. Uses the
// system's libcrypto (already loaded through libpq), whose hardware-assisted code keeps a
// hashed download close to the speed of an unhashed one.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void add(const char* data, qsizetype count);
    // Lower-case hex of the bytes added so far; ends the hash.
    QByteArray hexDigest();

private:
    struct State;
    std::unique_ptr<State> m_state;
};
