#include "upgrade/ReleaseSignature.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <memory>
#include <openssl/evp.h>

namespace {

constexpr qsizetype RawKeySize = 32;
constexpr qsizetype SignatureSize = 64;
constexpr qsizetype KeyIdDigits = 16;

// A name as the publisher signs it: trailing blanks gone, A-Z lowered, nothing else changed,
// so no locale's case rules can make two workstations read one target differently.
QString canonical(const QString& name) {
    QString text = name;
    while (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    for (QChar& c : text)
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            c = QChar(c.unicode() + ('a' - 'A'));
    return text;
}

QString keyIdOf(const QByteArray& rawKey) {
    return QString::fromLatin1(
        QCryptographicHash::hash(rawKey, QCryptographicHash::Sha256).toHex().left(KeyIdDigits));
}

bool verifies(const QByteArray& rawKey, const QByteArray& signature, const QByteArray& text) {
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                    reinterpret_cast<const unsigned char*>(rawKey.constData()),
                                    size_t(rawKey.size())),
        &EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    return key && context &&
           EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(
               context.get(), reinterpret_cast<const unsigned char*>(signature.constData()),
               size_t(signature.size()), reinterpret_cast<const unsigned char*>(text.constData()),
               size_t(text.size())) == 1;
}

} // namespace

QByteArray releaseText(const QString& clientPath, const QString& exe, const QString& version,
                       qint64 size, const QString& sha256, const QString& keyId) {
    return (QStringLiteral("quorvane-release-1\ntarget=") + canonical(clientPath) +
            QLatin1Char('\\') + canonical(exe) + QStringLiteral("\nversion=") + version +
            QStringLiteral("\nsize=") + QString::number(size) + QStringLiteral("\nsha256=") +
            sha256 + QStringLiteral("\nkey=") + keyId + QLatin1Char('\n'))
        .toUtf8();
}

QString TrustedKeys::folder() {
    const QString chosen = qEnvironmentVariable("QUORVANE_KEYS");
    return chosen.isEmpty() ? QStringLiteral("/etc/quorvane/keys") : chosen;
}

TrustedKeys::TrustedKeys(const QString& folder) {
    const QDir dir(folder);
    for (const QString& name : dir.entryList({QStringLiteral("*.pub")}, QDir::Files, QDir::Name))
        readKeyFile(dir.filePath(name));
}

// One line: "ed25519 <key id> <base64 of the raw public key>".
void TrustedKeys::readKeyFile(const QString& path) {
    m_configured = true;
    QFile file(path);
    const QStringList fields =
        file.open(QIODevice::ReadOnly)
            ? QString::fromLatin1(file.readLine(1024)).simplified().split(QLatin1Char(' '))
            : QStringList();
    const QByteArray raw = fields.size() == 3
                               ? QByteArray::fromBase64(fields.at(2).toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors)
                               : QByteArray();
    // The id must be the key's own: a file cannot pass one key off under another's id.
    if (fields.value(0) != QLatin1String("ed25519") || raw.size() != RawKeySize ||
        fields.at(1) != keyIdOf(raw)) {
        m_unreadable << path;
        return;
    }
    m_keys.insert(fields.at(1), raw);
}

QString TrustedKeys::refusal(const QByteArray& text, const QString& keyId,
                             const QString& signature) const {
    if (signature.isEmpty())
        return QStringLiteral("the release is not signed");
    const auto key = m_keys.constFind(keyId);
    if (key == m_keys.cend())
        return QStringLiteral("key %1 is not trusted").arg(keyId) +
               (m_unreadable.isEmpty() ? QString()
                                       : QStringLiteral(" (no key in %1)")
                                             .arg(m_unreadable.join(QStringLiteral(", "))));
    const QByteArray bytes =
        QByteArray::fromBase64(signature.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (bytes.size() != SignatureSize || !verifies(*key, bytes, text))
        return QStringLiteral("the signature by key %1 does not verify").arg(keyId);
    return QString();
}
