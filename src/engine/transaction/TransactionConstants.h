#pragma once

// Names, limits and progress steps of the program folder's transaction, in one place.

#include <QString>

namespace transaction {

// Every file of the transaction carries the backup marker, so that no walk of the program folder copies or
// deletes it; a recovery finds them from the program folder alone.
inline const QString BackupMarker = QStringLiteral("_update_backup_");
inline const QString BackupTimeFormat = QStringLiteral("yyyyMMdd_hhmmss");
// Names <name>_1 to _<this> are tried when a work or backup folder's name (QuillUpdate_<seconds>,
// _update_backup_<time>) is taken.
inline const QString FolderNameSuffixSeparator = QStringLiteral("_");
constexpr int MaximumFolderNameSuffix = 1000;

inline const QString JournalFileName = BackupMarker + QStringLiteral("journal.json");
inline const QString FolderLockFileName = BackupMarker + QStringLiteral("lock");
constexpr int JournalFormat = 1;
// Far above the list of any real product (50,000 files take about 4 MB).
constexpr qint64 MaximumJournalBytes = 64 * 1024 * 1024;
// A folder lock whose holder cannot be judged (an empty file, as a power cut leaves one, or a holder on
// another machine) is taken for stale after this long; a live holder on this machine is waited for as long
// as it runs. The wait looks at the holder again at every poll.
constexpr int UnjudgedLockHolderWaitMs = 60000;
constexpr int FolderLockPollMs = 1000;
// Far above the few lines QLockFile writes.
constexpr qint64 MaximumLockFileBytes = 4096;
// The logon command's value name: this prefix and a digest of the program folder, one per product.
inline const QString RunOnceValuePrefix = QStringLiteral("FarlinkUpdaterRecovery_");
inline const QString RecoverOption = QStringLiteral("--recover");

// The trial period after an installation: the new version runs while its backup is kept, and is rolled
// back when it fails. 0 seconds turns it off (the update is final at once).
constexpr int DefaultTrialSeconds = 60;
constexpr int MaximumTrialSeconds = 600;
inline const QString WatchOption = QStringLiteral("--watch");

// The backup and the restore report their progress every this many files, and at the last one.
constexpr int FilesPerProgressReport = 10;

} // namespace transaction
