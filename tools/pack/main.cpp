// farlink-pack full <new folder> --version V -o <package.zip> [--remove <path>]... [--key <private key>]
//                   [--info-template]
// farlink-pack delta <old folder> <new folder> --version V [--base-version B] -o <package.zip>
//                   [--key <private key>] [--info-template]
//
// Makes an update package: a zip whose root holds the manifest (product, version, every file of the new
// folder with size and SHA-256, the paths to remove, and for a delta the version it applies to) and the files
// themselves; a delta carries only the files that differ from the old folder and removes what the new one no
// longer has. The same folders give the same bytes. Prints the "sha256" member of the update-information
// file and, with a key, its "signature", or with --info-template a whole information file to fill in.

#include "DeterministicZip.h"
#include "FolderContents.h"
#include "PackageConstants.h"
#include "PackageManifest.h"
#include "PackageSigner.h"
#include "ProductConfig.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <memory>

namespace {

constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;
// The updater refuses a downloaded package of this size or less.
constexpr qint64 SmallestPackageBytes = package::MinimumDownloadedPackageBytes;
const QString TemplateAppPath = QStringLiteral("C:/Program Files/Quillon/Quillon.exe");
const QString TemplateUrl = QStringLiteral("https://downloads.example.com/quillon/%1");

const char Usage[] =
    "usage: farlink-pack full <new folder> --version V -o <package.zip> [--remove <path>]... [--key <pem>]\n"
    "                   [--info-template]\n"
    "       farlink-pack delta <old folder> <new folder> --version V [--base-version B] -o <package.zip>\n"
    "                   [--key <pem>] [--info-template]\n";

int fail(const QString &message)
{
    std::fprintf(stderr, "farlink-pack: %s\n", qPrintable(message));
    return ExitFailure;
}

struct Request
{
    QString oldFolder;
    QString newFolder;
    DottedVersion version;
    DottedVersion baseVersion;
    QString output;
    QString keyPath;
    QStringList removals;
    bool infoTemplate = false;
};

bool parseRequest(const QStringList &arguments, Request &request)
{
    QCommandLineParser parser;
    const QCommandLineOption version(QStringLiteral("version"), QString(), QStringLiteral("V"));
    const QCommandLineOption base(QStringLiteral("base-version"), QString(), QStringLiteral("B"));
    const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")}, QString(),
                                    QStringLiteral("package"));
    const QCommandLineOption key(QStringLiteral("key"), QString(), QStringLiteral("pem"));
    const QCommandLineOption remove(QStringLiteral("remove"), QString(), QStringLiteral("path"));
    const QCommandLineOption infoTemplate(QStringLiteral("info-template"));
    parser.addOptions({version, base, output, key, remove, infoTemplate});
    if (!parser.parse(arguments))
        return false;
    const QStringList positional = parser.positionalArguments();
    const QString mode = positional.value(0);
    const bool delta = mode == QLatin1String("delta") && positional.size() == 3 && !parser.isSet(remove);
    const bool full = mode == QLatin1String("full") && positional.size() == 2 && !parser.isSet(base);
    if ((!delta && !full) || !parser.isSet(version) || !parser.isSet(output))
        return false;
    request.oldFolder = delta ? positional.at(1) : QString();
    request.newFolder = positional.last();
    request.version = DottedVersion::fromText(parser.value(version));
    // A delta applies to the version the old folder records, unless told otherwise.
    request.baseVersion = DottedVersion::fromText(
        parser.isSet(base) || !delta
            ? parser.value(base)
            : ProductConfig(request.oldFolder + QStringLiteral("/config.ini")).installedVersion());
    request.output = parser.value(output);
    request.keyPath = parser.value(key);
    request.removals = parser.values(remove);
    request.infoTemplate = parser.isSet(infoTemplate);
    return true;
}

// The new folder's files that the old one does not have as they are.
QVector<PackageListing::Entry> changedFiles(const FolderContents &newer, const FolderContents *older)
{
    QVector<PackageListing::Entry> changed;
    for (const PackageListing::Entry &file : newer.files()) {
        const PackageListing::Entry *before = older ? older->file(file.path) : nullptr;
        if (!before || before->size != file.size || before->sha256 != file.sha256)
            changed.append(file);
    }
    return changed;
}

bool writePackage(const Request &request, const PackageManifest &manifest,
                  const QVector<PackageListing::Entry> &carried, bool manifestStored, QString &error)
{
    DeterministicZip zip(request.output);
    bool written = zip.open() && zip.addData(package::ManifestFileName, manifest.toJson(), manifestStored);
    for (const PackageListing::Entry &file : carried) {
        if (written)
            written = zip.addFile(file.path, request.newFolder + QLatin1Char('/') + file.path, file.size);
    }
    written = written && zip.close();
    error = zip.error();
    return written;
}

// A small delta may deflate below what the updater accepts: its manifest is then stored as it is. Nothing is
// left behind that the updater would refuse.
bool writeAcceptedPackage(const Request &request, const PackageManifest &manifest,
                          const QVector<PackageListing::Entry> &carried, QByteArray &package)
{
    for (const bool stored : {false, true}) {
        QString error;
        if (!writePackage(request, manifest, carried, stored, error)) {
            fail(QStringLiteral("cannot write %1: %2").arg(request.output, error));
            return false;
        }
        QFile written(request.output);
        package = written.open(QIODevice::ReadOnly) ? written.readAll() : QByteArray();
        if (package.size() >= SmallestPackageBytes)
            return true;
    }
    QFile::remove(request.output);
    fail(QStringLiteral("the package holds %1 bytes; the updater refuses packages of fewer than %2")
             .arg(package.size())
             .arg(SmallestPackageBytes));
    return false;
}

// The members the information file takes from the package, in the order farlink-sign prints them.
bool printInformation(const Request &request, const QByteArray &package)
{
    const QString sha256 =
        QString::fromLatin1(QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex());
    QByteArray signature;
    if (!request.keyPath.isEmpty()) {
        QFile keyFile(request.keyPath);
        const PackageSigner signer(keyFile.open(QIODevice::ReadOnly) ? keyFile.readAll() : QByteArray());
        signature = signer.sign(package);
        if (signature.isEmpty()) {
            fail(QStringLiteral("%1 is not an Ed25519 private key in PEM form").arg(request.keyPath));
            return false;
        }
    }
    if (request.infoTemplate) {
        QJsonObject info{
            {QStringLiteral("app_path"), TemplateAppPath},
            {QStringLiteral("new_version"), request.version.text()},
            {QStringLiteral("download_url"), TemplateUrl.arg(QFileInfo(request.output).fileName())},
            {QStringLiteral("sha256"), sha256},
            {QStringLiteral("memo"), QString()}};
        if (!signature.isEmpty())
            info.insert(QStringLiteral("signature"), QString::fromLatin1(signature.toBase64()));
        std::fputs(QJsonDocument(info).toJson(QJsonDocument::Indented).constData(), stdout);
        return true;
    }
    std::fputs(PackageSigner::informationMembers(package, signature).constData(), stdout);
    return true;
}

int pack(const Request &request)
{
    const FolderContents newer(request.newFolder);
    if (!newer.error().isEmpty())
        return fail(newer.error());
    std::unique_ptr<FolderContents> older;
    if (!request.oldFolder.isEmpty()) {
        older = std::make_unique<FolderContents>(request.oldFolder);
        if (!older->error().isEmpty())
            return fail(older->error());
        if (!request.baseVersion.isValid())
            return fail(
                QStringLiteral("a delta needs the version it applies to: --base-version, or App/Version "
                               "in the old folder's config.ini"));
    }
    const PackageManifest manifest(package::ProductName, request.version, request.baseVersion, newer.files(),
                                   older ? older->missingFrom(newer) : request.removals);
    const QString problem = manifest.problem();
    if (!problem.isEmpty())
        return fail(QStringLiteral("the updater would refuse this manifest: ") + problem);
    const QVector<PackageListing::Entry> carried = changedFiles(newer, older.get());
    QByteArray package;
    if (!writeAcceptedPackage(request, manifest, carried, package))
        return ExitFailure;
    std::fprintf(stderr, "farlink-pack: %s: %d of %d files, %d paths removed, %d bytes\n",
                 qPrintable(request.output), int(carried.size()), int(newer.files().size()),
                 int(manifest.removals().size()), int(package.size()));
    return printInformation(request, package) ? ExitSuccess : ExitFailure;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    Request request;
    if (!parseRequest(QCoreApplication::arguments(), request)) {
        std::fputs(Usage, stderr);
        return ExitUsage;
    }
    return pack(request);
}
