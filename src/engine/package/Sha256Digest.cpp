#include "Sha256Digest.h"

#include <QDebug>
#include <QFile>

#include <openssl/evp.h>

void Sha256Digest::ContextFree::operator()(evp_md_ctx_st *context) const
{
    EVP_MD_CTX_free(context);
}

Sha256Digest::Sha256Digest() : context(EVP_MD_CTX_new())
{
    failed = !context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1;
}

Sha256Digest::~Sha256Digest() = default;

void Sha256Digest::addData(const char *data, qint64 length)
{
    if (!failed && length > 0)
        failed = EVP_DigestUpdate(context.get(), data, size_t(length)) != 1;
}

QByteArray Sha256Digest::result()
{
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int length = 0;
    if (failed ||
        EVP_DigestFinal_ex(context.get(), reinterpret_cast<unsigned char *>(digest.data()), &length) != 1) {
        failed = true;
        qWarning() << "SHA-256 计算失败";
        return QByteArray();
    }
    digest.resize(int(length));
    return digest;
}

namespace {

// Large enough that a file costs a few reads, small enough for any thread's share of memory.
constexpr int FileBlockBytes = 1 << 20;

} // namespace

bool Sha256Digest::ofFile(const QString &path, QByteArray &digest, qint64 &size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    QByteArray block(FileBlockBytes, Qt::Uninitialized);
    Sha256Digest sha256;
    size = 0;
    for (;;) {
        const qint64 read = file.read(block.data(), block.size());
        if (read < 0)
            return false;
        if (read == 0)
            break;
        sha256.addData(block.constData(), read);
        size += read;
    }
    digest = sha256.result();
    return !digest.isEmpty();
}

QByteArray Sha256Digest::of(const QByteArray &bytes)
{
    Sha256Digest digest;
    digest.addData(bytes.constData(), bytes.size());
    return digest.result();
}
