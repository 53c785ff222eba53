#include "FileCopier.h"

#include <QFile>
#include <QFileInfo>

#include <filesystem>
#include <system_error>

namespace {

constexpr int CopyBufferBytes = 1 << 20;

// A read may return fewer bytes than asked for before the end (a network share,
// a file still growing): only a read of 0 bytes ends the file.
bool copyContents(QFile &in, QFile &out, QByteArray &buffer)
{
    const qint64 expected = in.size();
    qint64 copied = 0;
    for (;;) {
        const qint64 read = in.read(buffer.data(), buffer.size());
        if (read < 0 || out.write(buffer.constData(), read) != read)
            return false;
        if (read == 0)
            return copied == expected;
        copied += read;
    }
}

std::filesystem::path nativePath(const QString &path)
{
    return std::filesystem::u8path(path.toUtf8().toStdString());
}

// Owner, group and others only: Qt answers the "user" flags with three access()
// calls per file, which a backup of thousands of files pays for dearly.
QFileDevice::Permissions permissionsOf(const QFileInfo &info)
{
    QFileDevice::Permissions permissions;
    for (const QFileDevice::Permission bit :
         {QFileDevice::ReadOwner, QFileDevice::WriteOwner, QFileDevice::ExeOwner, QFileDevice::ReadGroup,
          QFileDevice::WriteGroup, QFileDevice::ExeGroup, QFileDevice::ReadOther, QFileDevice::WriteOther,
          QFileDevice::ExeOther}) {
        if (info.permission(bit))
            permissions |= bit;
    }
    return permissions;
}

} // namespace

FileCopier::FileCopier() : buffer(CopyBufferBytes, Qt::Uninitialized) {}

bool FileCopier::copy(const QString &source, const QString &destination)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    QFile out(destination);
    // NewOnly: an existing file (or folder) at the destination makes the copy fail.
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return false;
    const bool copied = copyContents(in, out, buffer);
    // Permissions are kept where the file system allows, as QFile::copy does; the bytes decide.
    out.setPermissions(permissionsOf(QFileInfo(source)));
    out.close();
    if (!copied) {
        out.remove();
        return false;
    }
    return true;
}

bool FileCopier::copyLink(const QString &source, const QString &destination)
{
    std::error_code error;
    std::filesystem::copy_symlink(nativePath(source), nativePath(destination), error);
    return !error;
}
