#pragma once

#include <QSaveFile>
#include <QString>

#include <memory>

struct archive;

// A zip written with libarchive so that the same entries give the same bytes: every entry with one fixed
// time and owner, and 0644 or, for a file its owner may execute, 0755, UTF-8 names flagged as such, deflated,
// and nothing after the end record. The file appears whole at close() or not at all.
class DeterministicZip final
{
    Q_DISABLE_COPY_MOVE(DeterministicZip)

public:
    explicit DeterministicZip(const QString &path);
    ~DeterministicZip();

    bool open();
    // Deflated, or stored as it is.
    bool addData(const QString &name, const QByteArray &data, bool stored);
    // Streams the file's bytes in; size is what the entry announces and must be what the file holds.
    bool addFile(const QString &name, const QString &path, qint64 size);
    bool close();
    // Why the last step failed.
    const QString &error() const { return problem; }

private:
    bool writeHeader(const QString &name, qint64 size, int permissions);
    bool failed(const QString &what);

    QSaveFile output;
    archive *writer = nullptr;
    QString problem;
};
