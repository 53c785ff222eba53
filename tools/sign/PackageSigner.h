#pragma once

#include <QByteArray>

#include <openssl/evp.h>

#include <memory>

// Signs packages as the updater verifies them: pure Ed25519 over the package's exact bytes, with the
// product team's private key in PEM form. Shared by farlink-sign and farlink-pack.
class PackageSigner final
{
    Q_DISABLE_COPY_MOVE(PackageSigner)

public:
    explicit PackageSigner(const QByteArray &privateKeyPem);

    // Whether the PEM held an Ed25519 private key.
    bool isValid() const { return key != nullptr; }
    // The 64-byte signature, or nothing when signing failed.
    QByteArray sign(const QByteArray &package) const;

    // The information file's members for the package, as both tools print them: "sha256" and, when a
    // signature is given, "signature", one per line.
    static QByteArray informationMembers(const QByteArray &package, const QByteArray &signature);

private:
    struct KeyDeleter
    {
        void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
    };

    std::unique_ptr<EVP_PKEY, KeyDeleter> key;
};
