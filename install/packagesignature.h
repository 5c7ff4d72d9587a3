#pragma once

#include <QByteArray>
#include <QString>

#include <sodium/crypto_generichash.h>

// The vendor's signature of a package in minisign's format, checked against a public key that
// the installer carries: the package is accepted only when the signature names that key, the
// signature over the package verifies (over its BLAKE2b-512 hash in the current "ED" form, hashed
// while the package is written; over the bytes themselves in the legacy "Ed" form), and the
// global signature over that signature and its trusted comment verifies too.
class PackageSignature
{
public:
    // Yes or no, and why: the check that failed.
    struct Verdict
    {
        bool accepted = false;
        QString reason;
    };

    // A minisign signature file is a few hundred bytes; more is no signature.
    static constexpr int maxFileBytes = 4096;

    // keyLine: the key line of a minisign public key file ("RW..." in base64). A malformed key
    // refuses every signature.
    explicit PackageSignature(const QByteArray &keyLine);

    // Reads the ".minisig" file; refused when it is none, names another key, or its trusted
    // comment does not verify. Checked before the package is fetched.
    Verdict readSignature(const QByteArray &file);
    // The next bytes of the package, in order, as they are written.
    void addData(const char *data, qint64 size);
    // The whole package at packagePath; only the legacy form reads it once more.
    Verdict verifyPackage(const QString &packagePath);

    // What the vendor wrote into the signed comment (release, date, file name).
    QString trustedComment() const { return QString::fromUtf8(m_trustedComment); }

private:
    bool verifies(const QByteArray &signature, const uchar *message, qint64 size) const;

    QByteArray m_keyId;
    QByteArray m_publicKey;
    QByteArray m_algorithm;
    QByteArray m_signature;
    QByteArray m_trustedComment;
    crypto_generichash_state m_hash;
};
