#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

struct evp_md_ctx_st;

// SHA-256 through OpenSSL, which uses the processor's SHA instructions where it has them: the package and
// every installed file are hashed on the way to an update, and Qt's own SHA-256 took about a second for a
// package of 100 MiB.
class Sha256Digest final
{
    Q_DISABLE_COPY_MOVE(Sha256Digest)

public:
    Sha256Digest();
    ~Sha256Digest();

    void addData(const char *data, qint64 length);
    // The 32-byte digest of everything added; empty, with the failure logged, when OpenSSL failed (such a
    // digest matches none).
    QByteArray result();

    static QByteArray of(const QByteArray &bytes);
    // The digest of the file at path and its size, read once; false when it cannot be read whole.
    static bool ofFile(const QString &path, QByteArray &digest, qint64 &size);

private:
    struct ContextFree
    {
        void operator()(evp_md_ctx_st *context) const;
    };

    std::unique_ptr<evp_md_ctx_st, ContextFree> context;
    bool failed = false;
};
