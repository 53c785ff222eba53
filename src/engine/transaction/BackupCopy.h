#pragma once

#include "ProgramFolderWalk.h"

#include <QString>
#include <QVector>

#include <functional>

// The copy loops between the program folder and its backup folder: the backup copies every program file
// into the backup folder, the restore makes the program folder hold exactly what the backup holds.
class BackupCopy final
{
    Q_DISABLE_COPY_MOVE(BackupCopy)

public:
    // Called every few files and at the last one with the files done so far and the total.
    using Progress = std::function<void(int done, int total)>;

    BackupCopy(const QString &appDir, const QString &backupDir);

    // True when every program file and folder was copied; entries() then lists them.
    bool backUp(const Progress &progress);
    // True only when every entry of the backup is back: anything less is not the previous version, and
    // the backup folder then holds the only copy of some program files.
    bool restore(const Progress &progress) const;

    const QVector<ProgramFolderWalk::Entry> &entries() const { return backedUp; }

private:
    bool backupFolderUsable() const;

    QString appDir;
    QString backupDir;
    QVector<ProgramFolderWalk::Entry> backedUp;
};
