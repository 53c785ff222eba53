#include "StaleWorkFolderSweep.h"

#include "FileSafety.h"
#include "PathSafety.h"
#include "StartupConstants.h"

#include <QDebug>
#include <QDir>
#include <QStandardPaths>

namespace startup {

namespace {

// An invalid creation time gives an age of 0, so such entries stay.
bool isStale(const QFileInfo &entry, const QDateTime &reference, const BirthTimeSource &birthTime)
{
    return birthTime(entry).secsTo(reference) > StaleAfterSeconds;
}

// Where others may rename or replace entries, what is removed might not be what was judged stale.
bool mayBeSwept(const QString &folder)
{
    const std::string why = platform::whyPathUntrusted(platformPath(folder));
    if (why.empty())
        return true;
    qWarning().noquote() << LogSweepPlaceUntrusted << QString::fromStdString(why);
    return false;
}

void sweepPlace(const QString &place, const QString &pattern, const QDateTime &reference,
                const BirthTimeSource &birthTime)
{
    // Empty for a place that is not there (or not named: QDir("") would be the current directory).
    const QString folder = QFileInfo(place).canonicalFilePath();
    if (folder.isEmpty() || !mayBeSwept(folder))
        return;
    const QFileInfoList entries =
        QDir(folder).entryInfoList({pattern}, QDir::AllEntries | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        if (isStale(entry, reference, birthTime))
            platform::removeTree(platformPath(folder + QLatin1Char('/') + entry.fileName()));
    }
}

} // namespace

QDateTime fileBirthTime(const QFileInfo &entry)
{
    return entry.fileTime(QFileDevice::FileBirthTime);
}

void sweepStaleWorkFolders()
{
    sweepStaleWorkFolders(QDateTime::currentDateTime());
}

void sweepStaleWorkFolders(const QDateTime &reference, const BirthTimeSource &birthTime)
{
    sweepPlace(QStandardPaths::writableLocation(QStandardPaths::TempLocation), TempWorkPattern, reference,
               birthTime);
    sweepPlace(QString::fromStdString(platform::programDataRoot()), ProgramDataWorkPattern, reference,
               birthTime);
}

} // namespace startup
