#pragma once

#include <QString>

// A made-up program folder for the benchmarks: the main executable, config.ini
// and the daemon's folder, then fileCount files in sub-folders of 100, holding
// totalBytes in all. Sizes spread from a quarter to seven quarters of the
// average; contents are about half compressible, like program files.
// Returns false (after saying why on stderr) when a file cannot be written.
bool writeProgramFolder(const QString &root, int fileCount, qint64 totalBytes);

// Packs the folder as the update package would come (a zip); says why on stderr when it cannot.
bool writePackage(const QString &folder, const QString &zipPath);

// The main executable inside a folder made by writeProgramFolder.
QString mainExecutable(const QString &root);
