#pragma once

#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <QVector>

// Everything below a folder that an update must back up, put back and count:
// regular files and symbolic links, hidden and system ones included, and the
// folders that hold them. Links and junctions are entries of their own and never
// followed, so no walk leaves the folder.
class ProgramFolderWalk final
{
public:
    enum class Kind
    {
        File,
        Link,
    };

    struct Entry
    {
        QString relativePath;
        Kind kind;
        // Bytes of a regular file; a link takes no room worth counting.
        qint64 size;
    };

    enum class Scope
    {
        // Backup folders at the top of the program folder are not the program.
        WithoutBackupFolders,
        Everything,
    };

    ProgramFolderWalk(const QString &root, Scope scope);

    const QVector<Entry> &entries() const { return found; }
    // Every real folder below the root, empty ones included, each after the folder that holds it.
    const QStringList &folders() const { return foundFolders; }
    qint64 totalFileBytes() const;

    // Whether a path relative to the program folder lies in one of the backup folders inside it.
    static bool isInBackupFolder(const QString &relativePath);

private:
    void walkFolder(const QString &folder, bool topLevel);
    void addEntry(const QFileInfo &info, bool topLevel);

    QString rootPrefix;
    Scope scope;
    QVector<Entry> found;
    QStringList foundFolders;
};
