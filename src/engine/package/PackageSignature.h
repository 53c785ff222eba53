#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Decides whether a package comes from the vendor: pure Ed25519 (RFC 8032) over the package's exact bytes,
// checked against the public keys built into the updater. Several keys let a key be replaced without a gap.
// With no key at all, nothing is required and every package passes, as in a build without signing.
class PackageSignature final
{
    Q_DISABLE_COPY_MOVE(PackageSignature)

public:
    // Each key is standard Base64 of the 32 raw bytes; a malformed one is logged and never verifies.
    explicit PackageSignature(const QStringList &publicKeys);

    bool isRequired() const;
    // True when nothing is required or one of the keys verifies the signature, standard Base64 of the
    // 64-byte signature. Otherwise logs whether it was missing, malformed or did not verify.
    bool accepts(const QByteArray &package, const QString &signature) const;

    // Standard Base64 with padding of exactly the given number of bytes, nothing around it; empty otherwise.
    static QByteArray decodeExactBase64(const QString &text, int bytes);

private:
    bool anyKeyVerifies(const QByteArray &package, const QByteArray &signature) const;

    bool required = false;
    QList<QByteArray> keys;
};
