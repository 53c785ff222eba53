// farlink-sign keygen <key file>            writes a new Ed25519 private key (PEM, mode 0600) and prints
//                                           the public key as FARLINK_PACKAGE_PUBLIC_KEYS takes it
// farlink-sign sign <key file> <package>    prints the "sha256" and "signature" members of the
//                                           update-information file for the package

#include "FileSafety.h"
#include "PackageSigner.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <memory>

namespace {

constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;
constexpr size_t Ed25519PublicKeyBytes = 32;

const char Usage[] = "usage: farlink-sign keygen <private key file>\n"
                     "       farlink-sign sign <private key file> <package.zip>\n";

struct KeyDeleter
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct KeyContextDeleter
{
    void operator()(EVP_PKEY_CTX *context) const { EVP_PKEY_CTX_free(context); }
};
struct BioDeleter
{
    void operator()(BIO *bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using Bio = std::unique_ptr<BIO, BioDeleter>;

int fail(const QString &message)
{
    std::fprintf(stderr, "farlink-sign: %s\n", qPrintable(message));
    return ExitFailure;
}

Key generateKey()
{
    const std::unique_ptr<EVP_PKEY_CTX, KeyContextDeleter> context(
        EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY *key = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 || EVP_PKEY_keygen(context.get(), &key) != 1)
        return nullptr;
    return Key(key);
}

QByteArray privateKeyPem(EVP_PKEY *key)
{
    const Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return {};
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, int(size));
}

QByteArray publicKeyBytes(EVP_PKEY *key)
{
    QByteArray raw(int(Ed25519PublicKeyBytes), '\0');
    size_t size = Ed25519PublicKeyBytes;
    if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char *>(raw.data()), &size) != 1 ||
        size != Ed25519PublicKeyBytes)
        return {};
    return raw;
}

// Never replaces a file: an existing key may be the only copy of the one the updaters trust. The file is
// created with its final mode, so no one can open it while it is readable to others and read the key later.
bool writePrivateFile(const QString &path, const QByteArray &content)
{
    const int descriptor = platform::createNewFile(QFileInfo(path).absoluteFilePath().toUtf8().toStdString());
    QFile file;
    if (descriptor < 0 || !file.open(descriptor, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        fail(QStringLiteral("cannot create %1; an existing file is never replaced").arg(path));
        return false;
    }
    const bool written = file.write(content) == content.size() && file.flush();
    if (!written) {
        fail(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
        file.close();
        QFile::remove(path);
    }
    return written;
}

int keygen(const QString &keyPath)
{
    const Key key = generateKey();
    const QByteArray pem = key ? privateKeyPem(key.get()) : QByteArray();
    const QByteArray publicKey = key ? publicKeyBytes(key.get()) : QByteArray();
    if (pem.isEmpty() || publicKey.isEmpty())
        return fail(QStringLiteral("cannot generate an Ed25519 key"));
    if (!writePrivateFile(keyPath, pem))
        return ExitFailure;
    std::printf("%s\n", publicKey.toBase64().constData());
    return ExitSuccess;
}

bool readWholeFile(const QString &path, QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        return false;
    }
    content = file.readAll();
    return true;
}

int sign(const QString &keyPath, const QString &packagePath)
{
    QByteArray pem;
    QByteArray package;
    if (!readWholeFile(keyPath, pem) || !readWholeFile(packagePath, package))
        return ExitFailure;
    const PackageSigner signer(pem);
    if (!signer.isValid())
        return fail(QStringLiteral("%1 is not an Ed25519 private key in PEM form").arg(keyPath));
    const QByteArray packageSignature = signer.sign(package);
    if (packageSignature.isEmpty())
        return fail(QStringLiteral("cannot sign %1").arg(packagePath));
    std::fputs(PackageSigner::informationMembers(package, packageSignature).constData(), stdout);
    return ExitSuccess;
}

} // namespace

int main(int argc, char *argv[])
{
    const QString command = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (command == QLatin1String("keygen") && argc == 3)
        return keygen(QString::fromLocal8Bit(argv[2]));
    if (command == QLatin1String("sign") && argc == 4)
        return sign(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    std::fputs(Usage, stderr);
    return ExitUsage;
}
