#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class IniFile;

// The product's config.ini, edited in place by IniFile so that every other byte stays. The file belongs to
// the product: a missing one is reported, never created, and only a regular file of its own is written.
class ProductConfig final
{
    Q_DISABLE_COPY_MOVE(ProductConfig)

public:
    explicit ProductConfig(const QString &path);

    // Sets the version and the last update's time and version, and removes the last prompt and check times
    // so that the product asks again. Writes nothing unless every edit reads back as intended; whether the
    // file was written. Logs every failure.
    bool recordInstalledVersion(const QString &newVersion) const;
    // Sets Update/FailedVersion and Update/FailedTime after a version failed its trial and was rolled back,
    // so that the product can decline to offer it again. Whether the file was written; logs a failure.
    bool recordFailedVersion(const QString &version) const;
    // The installed version (App/Version as written), or an empty text when the file or the key is missing
    // or the file cannot be read. Only reads.
    QString installedVersion() const;

private:
    enum class Edit
    {
        Written,
        Missing,
        Failed, // logged
    };
    // Reads the file, applies change and writes the result whole, or nothing when change fails.
    Edit edit(const std::function<bool(IniFile &)> &change) const;
    bool read(QByteArray &content) const;
    bool replace(const QByteArray &content) const;

    QString path;
};
