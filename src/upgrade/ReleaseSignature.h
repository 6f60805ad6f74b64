#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

// The text a publisher key signs for one release: exactly the target, version, size and digest
// the workstation will install, and the key's id. `clientPath` and `exe` are the row's own.
QByteArray releaseText(const QString& clientPath, const QString& exe, const QString& version,
                       qint64 size, const QString& sha256, const QString& keyId);

// The publisher keys this workstation trusts: one Ed25519 public key per "*.pub" file of the
// key folder (root's to fill, as apt's keyrings). Once the folder holds a key file, only
// releases signed by one of its keys install; a key is revoked by removing its file.
class TrustedKeys {
public:
    // $QUORVANE_KEYS when set, else /etc/quorvane/keys.
    static QString folder();
    explicit TrustedKeys(const QString& folder = TrustedKeys::folder());

    // True when the folder holds a key file, even one that cannot be read: a damaged key file
    // never opens the workstation to unsigned releases.
    bool configured() const { return m_configured; }
    // Why `signature` (base64) by `keyId` over `text` is not accepted; empty when it is.
    QString refusal(const QByteArray& text, const QString& keyId, const QString& signature) const;

private:
    void readKeyFile(const QString& path);

    bool m_configured = false;
    // Key id -> the raw 32-byte public key.
    QHash<QString, QByteArray> m_keys;
    // The key files that hold no usable key, for the refusal's text.
    QStringList m_unreadable;
};
