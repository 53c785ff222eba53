#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class PackageListing;

// Whether the package received is whole and the vendor's: the expected SHA-256 and the signature are checked
// on the bytes in memory, the very bytes then written; the saved file's size and zip after the write. The
// file lies in the run's private work folder, which no other user can enter, so what is extracted later is
// what was verified here.
class PackageCheck final
{
    Q_DISABLE_COPY_MOVE(PackageCheck)

public:
    // An empty expected SHA-256 leaves the decision to the other checks; with no key, no signature is needed.
    PackageCheck(const QString &expectedSha256, const QString &signature, const QStringList &publicKeys);

    // Checks the received bytes before they are written; logs a signature that fails.
    void examineReceived(const QByteArray &package);
    // Judged on a fresh look at the file system, with the bytes examineReceived saw. The zip is read last
    // into listing: it is the one check that goes through the whole package. Logs the verdict.
    bool savedPackageIsIntact(const QString &zipPath, PackageListing &listing) const;

    // Whether the verified package may go over the installation in appDir, whose config.ini is at configPath,
    // as the announced version: judged by the manifest it carries (required when keys are built in) before
    // anything is stopped. Logs the check that fails.
    bool fitsInstallation(const PackageListing &listing, const QString &appDir, const QString &configPath,
                          const QString &announcedVersion) const;
    // The version part of that judgement again, for an installation that may have changed since (another
    // updater ran while this one waited for the folder); the files were judged already. Logs a refusal.
    static bool fitsInstalledVersion(const PackageListing &listing, const QString &appDir,
                                     const QString &configPath, const QString &announcedVersion);

    // Whether the file at zipPath is there and large enough to be extracted; logs its size or why not.
    static bool isExtractable(const QString &zipPath);

private:
    static bool isSha256Hex(const QString &text);
    bool matchesExpectedSha256() const;
    bool holdsEverythingReceived(qint64 savedBytes) const;

    const QString expectedSha256;
    const QString signature;
    const QStringList publicKeys;
    qint64 receivedBytes = 0;
    QByteArray actualSha256Hex;
    bool signatureAccepted = false;
};
