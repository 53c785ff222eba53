#include "ProgramFolder.h"

#include "ZipBuilder.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cstdio>

namespace {

constexpr int FilesPerFolder = 100;
constexpr int PoolBytes = 8 << 20;
constexpr int HalfBlock = 2048;

// Random halves and repeated text halves: deflate gets about 2:1, as on executables.
QByteArray contentPool()
{
    QRandomGenerator generator(20240102);
    const QByteArray text = QByteArrayLiteral("QuillonRemoteDesktop.Session.Render ");
    QByteArray pool;
    pool.reserve(PoolBytes);
    while (pool.size() < PoolBytes) {
        for (int i = 0; i < HalfBlock; ++i)
            pool.append(static_cast<char>(generator.bounded(256)));
        for (int i = 0; i < HalfBlock; ++i)
            pool.append(text.at(i % text.size()));
    }
    return pool;
}

bool writeFile(const QString &path, const char *data, qint64 size)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(data, size) == size)
        return true;
    std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(path), qPrintable(file.errorString()));
    return false;
}

// Pairs of files lean the same amount in opposite directions, so the total is exact.
qint64 sizeOf(int index, qint64 average)
{
    const qint64 lean = (average * 3 / 4) * ((index / 2 * 7919) % 1000) / 1000;
    return index % 2 == 0 ? average + lean : average - lean;
}

} // namespace

QString mainExecutable(const QString &root)
{
    return root + QStringLiteral("/Quillon.exe");
}

bool writeProgramFolder(const QString &root, int fileCount, qint64 totalBytes)
{
    const QByteArray pool = contentPool();
    const char fixedFiles[] = "[App]\nVersion=1.0.0\n";
    QDir().mkpath(root + QStringLiteral("/QuillonServer"));
    if (!writeFile(mainExecutable(root), fixedFiles, 0) ||
        !writeFile(root + QStringLiteral("/config.ini"), fixedFiles, sizeof fixedFiles - 1))
        return false;
    const qint64 average = totalBytes / fileCount;
    qint64 written = 0;
    for (int index = 0; index < fileCount; ++index) {
        const QString folder =
            root + QStringLiteral("/lib/d%1").arg(index / FilesPerFolder, 4, 10, QLatin1Char('0'));
        if (index % FilesPerFolder == 0)
            QDir().mkpath(folder);
        qint64 size = index == fileCount - 1 ? totalBytes - written : sizeOf(index, average);
        size = qMin<qint64>(size, PoolBytes);
        const qint64 offset = (static_cast<qint64>(index) * 104729) % (PoolBytes - size + 1);
        if (!writeFile(folder + QStringLiteral("/f%1.bin").arg(index, 6, 10, QLatin1Char('0')),
                       pool.constData() + offset, size))
            return false;
        written += size;
    }
    return true;
}

bool writePackage(const QString &folder, const QString &zipPath)
{
    QString error;
    if (zipFolder(folder, zipPath, error))
        return true;
    std::fprintf(stderr, "cannot pack %s: %s\n", qPrintable(folder), qPrintable(error));
    return false;
}
