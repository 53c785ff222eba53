#pragma once

// Limits, texts and tools of the package's way from the server to the program folder, in one place.

#include <QString>

namespace package {

// Checks of the received and saved package
constexpr qint64 MinimumDownloadedPackageBytes = 1025; // 1024 bytes or fewer fail
constexpr qint64 MinimumExtractablePackageBytes = 100;
// Most the download reserves on the strength of an announced length, before the data is there.
constexpr qint64 MaximumReservedBeforeDataBytes = 64LL * 1024 * 1024;
constexpr int Sha256HexDigits = 64;
constexpr int Ed25519PublicKeyBytes = 32;
constexpr int Ed25519SignatureBytes = 64;

// The manifest at a package's root: what the package is, and the whole folder of the version it brings.
inline const QString ManifestFileName = QStringLiteral("farlink-manifest.json");
// The product whose packages this updater installs; a manifest of another product is refused.
inline const QString ProductName = QStringLiteral("Quillon");
// The manifest's members
inline const QString ManifestKeyProduct = QStringLiteral("product");
inline const QString ManifestKeyVersion = QStringLiteral("version");
inline const QString ManifestKeyBaseVersion = QStringLiteral("base_version");
inline const QString ManifestKeyFiles = QStringLiteral("files");
inline const QString ManifestKeyRemove = QStringLiteral("remove");
inline const QString ManifestKeyPath = QStringLiteral("path");
inline const QString ManifestKeySize = QStringLiteral("size");
inline const QString ManifestKeySha256 = QStringLiteral("sha256");
// Room for far more than the 20,000 files of the largest product measured, and a bound on what is held.
constexpr qint64 MaximumManifestBytes = 32LL * 1024 * 1024;
// The largest whole number a JSON number carries exactly.
constexpr qint64 MaximumJsonInteger = (1LL << 53);
// Versions are dotted numbers: "2.0.13". Each number fits an int; more parts than this is no version.
constexpr int MaximumVersionParts = 8;
constexpr int MaximumVersionPartDigits = 9;

// Why an address is refused; the engine appends them to its download error
inline const QString RefusedNoUrl = QStringLiteral("no package URL was given");
inline const QString RefusedInvalidUrl = QStringLiteral("the package URL is not valid");
inline const QString RefusedNoScheme = QStringLiteral("the package URL has no scheme");
inline const QString RefusedScheme = QStringLiteral("only http and https are allowed, not %1");
inline const QString RefusedNoHost = QStringLiteral("the package URL has no host");

// Extraction tools; the script's %1 is the package and %2 the program folder,
// both already quoted for PowerShell's single-quoted literals.
inline const QString PowerShellProgram = QStringLiteral("powershell");
inline const QString TarProgram = QStringLiteral("tar");
inline const QString ExpandArchiveScript =
    QStringLiteral("try { Expand-Archive -LiteralPath '%1' -DestinationPath '%2' -Force -ErrorAction Stop; "
                   "exit 0 } catch { Write-Error $_; exit 1 }");
// tar runs with a UTF-8 locale, so that the zip's UTF-8 names reach the disk whatever locale the updater has.
inline const QString ToolLocaleVariable = QStringLiteral("LC_ALL");
inline const QString ToolUtf8Locale = QStringLiteral("C.UTF-8");
// How long a killed extraction tool may take to go away before nothing else may write.
constexpr int KilledToolWaitMs = 10000;

} // namespace package
