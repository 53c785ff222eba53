#pragma once

#include <QString>

#include <functional>
#include <memory>

class QLockFile;

// One updater per program folder: a lock file in the folder itself, held from the start of an installation
// or recovery to its end. Only a dead holder makes the lock stale, never its age.
class FolderLock final
{
    Q_DISABLE_COPY_MOVE(FolderLock)

public:
    enum class Wait
    {
        UntilFree,    // until the updater working on the folder has ended its run
        SkipWhenBusy, // that updater will leave the folder whole itself
    };

    // unjudgedHolderWaitMs: how long a lock whose holder cannot be judged is waited for.
    FolderLock(const QString &appDir, int unjudgedHolderWaitMs);
    ~FolderLock();

    // onWaiting is called once when another updater holds the folder and the lock is waited for.
    bool take(Wait wait, const std::function<void()> &onWaiting);
    // Whether the last take failed because another updater holds the folder.
    bool heldByAnother() const;
    void release();

private:
    bool waitForHolder();
    bool removeLinkAtLockName() const;

    QString appDir;
    QString lockPath;
    int unjudgedHolderWaitMs;
    std::unique_ptr<QLockFile> lockFile;
};
