#pragma once

#include "EngineConstants.h"

#include <QStorageInfo>
#include <QString>

#include <functional>

// How far one engine may go: the time limits of the extraction tools and of the wait for a folder lock
// whose holder cannot be judged, the largest package, and the free space it sees on a volume. The
// defaults are the program's own; tests pass smaller ones.
struct EngineLimits
{
    int powerShellTimeoutMs = engine::PowerShellTimeoutMs;
    int tarTimeoutMs = engine::TarTimeoutMs;
    int unjudgedLockHolderWaitMs = transaction::UnjudgedLockHolderWaitMs;
    // Largest package the download accepts: it must fit one QByteArray.
    qint64 maximumPackageBytes = engine::MaximumPackageBytes;
    // Bytes the current user may write on the volume of a folder.
    std::function<qint64(const QString &folder)> availableBytes = volumeBytesAvailable;

    static qint64 volumeBytesAvailable(const QString &folder)
    {
        return QStorageInfo(folder).bytesAvailable();
    }
};
