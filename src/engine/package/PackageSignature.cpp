#include "PackageSignature.h"

#include "PackageConstants.h"

#include <QDebug>

#include <openssl/evp.h>

#include <memory>

using namespace package;

namespace {

struct KeyDeleter
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct ContextDeleter
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

const unsigned char *bytesOf(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

bool verifiesWith(const QByteArray &key, const QByteArray &package, const QByteArray &signature)
{
    const std::unique_ptr<EVP_PKEY, KeyDeleter> publicKey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytesOf(key), size_t(key.size())));
    const std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
    // Ed25519 hashes the message itself: no digest is named, and the whole package is passed in one call.
    return publicKey && context &&
           EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, publicKey.get()) == 1 &&
           EVP_DigestVerify(context.get(), bytesOf(signature), size_t(signature.size()), bytesOf(package),
                            size_t(package.size())) == 1;
}

} // namespace

PackageSignature::PackageSignature(const QStringList &publicKeys) : required(!publicKeys.isEmpty())
{
    for (const QString &text : publicKeys) {
        const QByteArray key = decodeExactBase64(text, Ed25519PublicKeyBytes);
        if (key.isEmpty())
            qWarning().noquote() << "忽略格式无效的公钥:" << text;
        else
            keys.append(key);
    }
}

bool PackageSignature::isRequired() const
{
    return required;
}

bool PackageSignature::accepts(const QByteArray &package, const QString &signature) const
{
    if (!required)
        return true;
    if (signature.isEmpty()) {
        qWarning() << "签名校验失败: 缺少签名";
        return false;
    }
    const QByteArray decoded = decodeExactBase64(signature, Ed25519SignatureBytes);
    if (decoded.isEmpty()) {
        qWarning().noquote() << "签名校验失败: 签名格式无效" << signature;
        return false;
    }
    if (!anyKeyVerifies(package, decoded)) {
        qWarning() << "签名校验失败: 没有公钥能验证该签名";
        return false;
    }
    qDebug() << "签名校验成功";
    return true;
}

bool PackageSignature::anyKeyVerifies(const QByteArray &package, const QByteArray &signature) const
{
    for (const QByteArray &key : keys) {
        if (verifiesWith(key, package, signature))
            return true;
    }
    return false;
}

// Decoding and encoding again must give the same text: Qt's decoder skips characters it does not know, and
// a text with other padding or spare bits would stand for the same bytes in more than one spelling.
QByteArray PackageSignature::decodeExactBase64(const QString &text, int bytes)
{
    const QByteArray latin = text.toLatin1();
    const QByteArray decoded = QByteArray::fromBase64(latin);
    if (decoded.size() != bytes || decoded.toBase64() != latin)
        return {};
    return decoded;
}
