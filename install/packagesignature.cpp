#include "install/packagesignature.h"

#include <QFile>
#include <QList>

#include <sodium.h>

#include <algorithm>

namespace {

constexpr int keyIdBytes = 8;
constexpr char legacyAlgorithm[] = "Ed";
constexpr char prehashedAlgorithm[] = "ED";

QByteArray fromBase64(const QByteArray &text, int expectedBytes)
{
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    return decoded && decoded.decoded.size() == expectedBytes ? decoded.decoded : QByteArray();
}

// As minisign prints key ids: the eight bytes as one little-endian number.
QString keyIdText(const QByteArray &id)
{
    QByteArray reversed = id;
    std::reverse(reversed.begin(), reversed.end());
    return QString::fromLatin1(reversed.toHex().toUpper());
}

PackageSignature::Verdict refused(const QString &reason)
{
    return {false, reason};
}

} // namespace

PackageSignature::PackageSignature(const QByteArray &keyLine)
{
    const QByteArray key =
        fromBase64(keyLine.trimmed(), 2 + keyIdBytes + crypto_sign_PUBLICKEYBYTES);
    if (sodium_init() >= 0 && key.startsWith(legacyAlgorithm)) {
        m_keyId = key.mid(2, keyIdBytes);
        m_publicKey = key.mid(2 + keyIdBytes);
    }
}

PackageSignature::Verdict PackageSignature::readSignature(const QByteArray &file)
{
    m_algorithm.clear();
    if (m_publicKey.isEmpty())
        return refused(QStringLiteral("the built-in public key is malformed"));
    // untrusted comment, signature, trusted comment, global signature; minisign ignores more.
    QList<QByteArray> lines = file.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    const QByteArray trustedPrefix("trusted comment: ");
    const QByteArray signature = fromBase64(lines.value(1), 2 + keyIdBytes + crypto_sign_BYTES);
    const QByteArray globalSignature = fromBase64(lines.value(3), crypto_sign_BYTES);
    if (lines.size() < 4 || !lines.at(0).startsWith("untrusted comment: ") ||
        !lines.at(2).startsWith(trustedPrefix) || signature.isEmpty() || globalSignature.isEmpty())
        return refused(QStringLiteral("not a minisign signature"));
    const QByteArray algorithm = signature.left(2);
    if (algorithm != legacyAlgorithm && algorithm != prehashedAlgorithm)
        return refused(QStringLiteral("unknown signature algorithm"));
    const QByteArray keyId = signature.mid(2, keyIdBytes);
    if (keyId != m_keyId)
        return refused(QStringLiteral("signed with another key (%1, not the built-in %2)")
                           .arg(keyIdText(keyId), keyIdText(m_keyId)));
    m_signature = signature.mid(2 + keyIdBytes);
    m_trustedComment = lines.at(2).mid(trustedPrefix.size());
    // The trusted comment is signed together with the signature: neither can be swapped.
    const QByteArray signedComment = m_signature + m_trustedComment;
    if (!verifies(globalSignature, reinterpret_cast<const uchar *>(signedComment.constData()),
                  signedComment.size()))
        return refused(QStringLiteral("the trusted comment does not match its signature"));
    crypto_generichash_init(&m_hash, nullptr, 0, crypto_generichash_BYTES_MAX);
    m_algorithm = algorithm;
    return {true, QString()};
}

void PackageSignature::addData(const char *data, qint64 size)
{
    if (m_algorithm == prehashedAlgorithm)
        crypto_generichash_update(&m_hash, reinterpret_cast<const uchar *>(data), quint64(size));
}

PackageSignature::Verdict PackageSignature::verifyPackage(const QString &packagePath)
{
    bool ok = false;
    if (m_algorithm == prehashedAlgorithm) {
        uchar hash[crypto_generichash_BYTES_MAX];
        crypto_generichash_final(&m_hash, hash, sizeof hash);
        ok = verifies(m_signature, hash, sizeof hash);
    } else if (m_algorithm == legacyAlgorithm) {
        // The legacy form signs the bytes themselves: the file is read once more, mapped.
        QFile package(packagePath);
        const qint64 size = package.open(QIODevice::ReadOnly) ? package.size() : -1;
        const uchar empty = 0;
        const uchar *bytes = size > 0 ? package.map(0, size) : &empty;
        ok = size >= 0 && bytes && verifies(m_signature, bytes, size);
    }
    if (!ok)
        return refused(QStringLiteral("the package does not match its signature"));
    return {true, QString()};
}

bool PackageSignature::verifies(const QByteArray &signature, const uchar *message,
                                qint64 size) const
{
    return signature.size() == int(crypto_sign_BYTES) &&
           m_publicKey.size() == int(crypto_sign_PUBLICKEYBYTES) &&
           crypto_sign_verify_detached(
               reinterpret_cast<const uchar *>(signature.constData()), message, quint64(size),
               reinterpret_cast<const uchar *>(m_publicKey.constData())) == 0;
}
