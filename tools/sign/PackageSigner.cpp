#include "PackageSigner.h"

#include <QCryptographicHash>

#include <openssl/pem.h>

namespace {

struct DigestContextDeleter
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
struct BioDeleter
{
    void operator()(BIO *bio) const { BIO_free(bio); }
};

} // namespace

PackageSigner::PackageSigner(const QByteArray &privateKeyPem)
{
    const std::unique_ptr<BIO, BioDeleter> bio(
        BIO_new_mem_buf(privateKeyPem.constData(), privateKeyPem.size()));
    key.reset(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (key && EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519)
        key.reset();
}

// Ed25519 hashes the message itself: no digest is named, and the whole package goes in one call.
QByteArray PackageSigner::sign(const QByteArray &package) const
{
    const std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context(EVP_MD_CTX_new());
    size_t size = 0;
    const auto data = reinterpret_cast<const unsigned char *>(package.constData());
    if (!key || !context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &size, data, size_t(package.size())) != 1)
        return {};
    QByteArray signature(int(size), '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &size, data,
                       size_t(package.size())) != 1)
        return {};
    return signature;
}

QByteArray PackageSigner::informationMembers(const QByteArray &package, const QByteArray &signature)
{
    QByteArray members =
        "\"sha256\": \"" + QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex() + '"';
    if (!signature.isEmpty())
        members += ",\n\"signature\": \"" + signature.toBase64() + '"';
    return members + '\n';
}
