#pragma once

#include <QByteArray>
#include <memory>

// SHA-256 over bytes fed in pieces, so a download is hashed while it arrives. Uses the
// system's libcrypto (already loaded through libpq) for its hardware-assisted code. Large
// pieces are hashed on a helper thread while the caller goes on receiving, so a hashed
// download takes about as long as an unhashed one. The helper keeps a shared copy of each
// piece (the bytes are not copied) until it has hashed it, touches nothing else and ends in
// hexDigest or the destructor.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // The caller may reuse the piece's buffer once it is detached again (QByteArray::isDetached);
    // changing it earlier copies it, as for any shared QByteArray.
    void add(const QByteArray& piece);
    // Lower-case hex of the bytes added so far; ends the hash. Raises if the library failed.
    QByteArray hexDigest();

private:
    struct State;
    std::unique_ptr<State> m_state;
};
