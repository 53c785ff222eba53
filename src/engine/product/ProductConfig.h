#pragma once

#include <QByteArray>
#include <QString>

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

private:
    bool read(QByteArray &content) const;
    bool replace(const QByteArray &content) const;

    QString path;
};
