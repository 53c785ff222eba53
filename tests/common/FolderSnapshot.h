#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// Everything below a folder, without following links: files with a SHA-256 of
// their bytes, links with their targets, folders by name. Two equal snapshots
// mean that no byte changed.
class FolderSnapshot final
{
public:
    enum class Scope
    {
        Everything,
        // Regular files only: what a restore promises to bring back.
        FilesOnly,
    };

    // Entries whose relative path contains skipText (when not empty) are left out.
    explicit FolderSnapshot(const QString &root, Scope scope = Scope::Everything,
                            const QString &skipText = QString());

    // Empty when both are equal, else the differing paths, for a failure message.
    QString differenceFrom(const FolderSnapshot &other) const;
    QStringList paths() const;

private:
    QMap<QString, QByteArray> entries;
};
