#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// File helpers shared by the tests. A failure to write is recorded as a test failure.
void writeFile(const QString &path, const QByteArray &content);
// Each file at its path relative to the folder.
void writeFiles(const QString &folder, const QMap<QString, QByteArray> &files);
// The file's bytes, or "<missing>" when it cannot be read.
QByteArray readFile(const QString &path);
QString readText(const QString &path);
// Whether anything is at the path, a dangling link included.
bool entryExists(const QString &path);
// The same bytes for the same seed, so that a failing run can be repeated.
QByteArray randomBytes(int size, quint32 seed);
// Names of the entries of the folder that match the wildcard pattern.
QStringList entriesMatching(const QString &folder, const QString &pattern);
// The engine's work folders left in the test's program-data folder.
QStringList workFolders();
