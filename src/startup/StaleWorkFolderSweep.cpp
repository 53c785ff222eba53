#include "StaleWorkFolderSweep.h"

#include "EntryRemoval.h"
#include "Platform.h"
#include "StartupConstants.h"

#include <QDir>
#include <QStandardPaths>

namespace startup {

namespace {

// An invalid creation time gives an age of 0, so such entries stay.
bool isStale(const QFileInfo &entry, const QDateTime &reference, const BirthTimeSource &birthTime)
{
    return birthTime(entry).secsTo(reference) > StaleAfterSeconds;
}

void sweepPlace(const QString &folder, const QString &pattern, const QDateTime &reference,
                const BirthTimeSource &birthTime)
{
    if (folder.isEmpty())
        return; // QDir("") would be the current directory
    const QFileInfoList entries =
        QDir(folder).entryInfoList({pattern}, QDir::AllEntries | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        if (isStale(entry, reference, birthTime))
            removeEntry(entry.absoluteFilePath());
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
