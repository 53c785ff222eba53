#include "EntryRemoval.h"

#include "StartupConstants.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace startup {

namespace {

bool isPresent(const QFileInfo &entry)
{
    return entry.exists() || entry.isSymLink(); // a dangling link does not "exist" but is there
}

// A link to a folder is a directory entry on Windows, a file elsewhere.
void removeLink(const QString &path)
{
    if (!QFile::remove(path))
        QDir().rmdir(path);
}

} // namespace

bool removeEntry(const QString &path)
{
    const QFileInfo entry(path);
    if (entry.isSymLink())
        removeLink(path);
    else if (entry.isDir())
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
    if (!isPresent(QFileInfo(path)))
        return true;
    qWarning() << LogCannotRemove << path;
    return false;
}

} // namespace startup
