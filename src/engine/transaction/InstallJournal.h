#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>

// The record of an installation in progress, kept in the program folder itself so that a recovery needs
// nothing but the folder: which backup folder the run uses, the files the finished backup holds and the
// last step begun. Its name carries the backup marker, so no walk of the program folder backs it up or
// deletes it. Every write replaces the whole file atomically and reaches stable storage before it returns.
class InstallJournal final
{
    Q_DISABLE_COPY_MOVE(InstallJournal)

public:
    // In the order a run passes through them.
    enum class Stage
    {
        Started,           // processes are being stopped; nothing in the folder has changed
        BackupStarted,     // the backup folder is being filled
        BackupComplete,    // every program file has a durable copy in the backup folder
        ExtractionStarted, // the package is being written over the program files
        RestoreStarted,    // the backup is being copied back
        Restored,          // the old version is back, durably; only the backup remains to go
        Installed,         // the new version and config.ini are in place, durably
        OnTrial,           // installed, the backup kept until the new version has shown that it runs
        TrialRollBack,     // the new version failed its trial; the backup is being put back
    };

    struct BackedUpFile
    {
        QString path; // relative to the backup folder, and to the program folder
        qint64 size = 0;
        bool link = false; // a symbolic link, put back as a link; its size is 0
    };

    struct Record
    {
        Stage stage = Stage::Started;
        QString backupFolder; // a folder name inside the program folder, beginning with the backup marker
        QVector<BackedUpFile> files;
        // On trial only: the version installed (recorded as failed when it is rolled back) and the length of
        // its trial.
        QString version;
        int trialSeconds = 0;
    };

    // A record, or why there is none.
    struct Reading
    {
        std::optional<Record> record;
        QString error;
    };

    explicit InstallJournal(const QString &appDir);

    QString path() const { return filePath; }
    // Whether anything, a link included, has the journal's name.
    bool exists() const;
    // Refuses a journal that someone other than administrators could have written or swapped: a link, a file
    // with more than one hard link, or one owned or writable by someone else.
    Reading read() const;
    // False, with the old journal (or none) left as it was, when the record is not durably written whole;
    // a link or hard-linked file in its place is left alone.
    bool write(const Record &record);
    bool remove();

    // Pure: any byte sequence gives a record or a reason, never a crash. Anything that could make a
    // recovery touch files outside the program folder is a reason.
    static Reading parse(const QByteArray &bytes);
    static QByteArray serialize(const Record &record);
    static QString stageName(Stage stage);
    // Whether the entry at path is the one listed: a link, or a regular file of the listed size.
    static bool isListedEntry(const QString &path, const BackedUpFile &listed);

private:
    QString folder;
    QString filePath;
};
