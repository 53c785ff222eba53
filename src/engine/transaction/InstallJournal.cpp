#include "InstallJournal.h"

#include "FileSafety.h"
#include "Platform.h"
#include "TransactionConstants.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

using namespace transaction;

namespace {

using Stage = InstallJournal::Stage;

const std::array<std::pair<Stage, const char *>, 9> StageNames = {{
    {Stage::Started, "started"},
    {Stage::BackupStarted, "backup-started"},
    {Stage::BackupComplete, "backup-complete"},
    {Stage::ExtractionStarted, "extraction-started"},
    {Stage::RestoreStarted, "restore-started"},
    {Stage::Restored, "restored"},
    {Stage::Installed, "installed"},
    {Stage::OnTrial, "on-trial"},
    {Stage::TrialRollBack, "trial-rollback"},
}};

const QString KeyFormat = QStringLiteral("format");
const QString KeyStage = QStringLiteral("stage");
const QString KeyBackup = QStringLiteral("backup");
const QString KeyFiles = QStringLiteral("files");
const QString KeyPath = QStringLiteral("path");
const QString KeySize = QStringLiteral("size");
const QString KeyLink = QStringLiteral("link");
const QString KeyVersion = QStringLiteral("version");
const QString KeyTrialSeconds = QStringLiteral("trial_seconds");
// Sizes travel as JSON numbers (doubles): above this they would lose bytes.
constexpr double LargestExactSize = 9007199254740992.0;

std::optional<Stage> stageFromName(const QString &name)
{
    for (const auto &entry : StageNames) {
        if (name == QLatin1String(entry.second))
            return entry.first;
    }
    return std::nullopt;
}

// One folder name directly inside the program folder, and one of ours.
bool isBackupFolderName(const QString &name)
{
    return name.startsWith(BackupMarker) && !name.contains(QLatin1Char('/')) &&
           !name.contains(QLatin1Char('\\')) && !name.contains(QLatin1Char(':')) && name != JournalFileName &&
           name != FolderLockFileName;
}

// A path that stays below the folder it is relative to, on Windows as well as here.
bool isContainedRelativePath(const QString &path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char('\\')) ||
        path.contains(QLatin1Char(':')) || path.contains(QChar(0)))
        return false;
    for (const QString &part : path.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

bool isTrialStage(Stage stage)
{
    return stage == Stage::OnTrial || stage == Stage::TrialRollBack;
}

// The version goes into config.ini when the trial fails: no line break or other control character.
bool isUsableVersion(const QString &version)
{
    return !version.isEmpty() && std::none_of(version.cbegin(), version.cend(), [](QChar c) {
        return c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line ||
               c.category() == QChar::Separator_Paragraph;
    });
}

InstallJournal::Reading failure(const QString &error)
{
    return {std::nullopt, error};
}

bool readFiles(const QJsonArray &array, QVector<InstallJournal::BackedUpFile> &files, QString &error)
{
    files.reserve(array.size());
    for (const QJsonValue &value : array) {
        const QJsonObject entry = value.toObject();
        const QString path = entry.value(KeyPath).toString();
        const double size = entry.value(KeySize).toDouble(-1);
        if (!isContainedRelativePath(path)) {
            error = QStringLiteral("file path outside the program folder: ") + path;
            return false;
        }
        if (!entry.value(KeySize).isDouble() || size < 0 || size > LargestExactSize ||
            std::floor(size) != size) {
            error = QStringLiteral("file size is not a byte count: ") + path;
            return false;
        }
        files.append({path, static_cast<qint64>(size), entry.value(KeyLink).toBool(false)});
    }
    return true;
}

} // namespace

InstallJournal::InstallJournal(const QString &appDir)
    : folder(appDir), filePath(appDir + QLatin1Char('/') + JournalFileName)
{
}

// A link or anything else with the name counts: it is never taken for the absence of a journal.
bool InstallJournal::exists() const
{
    return platform::entryStatus(filePath.toStdString()).type != platform::EntryType::Missing;
}

InstallJournal::Reading InstallJournal::read() const
{
    // The journal tells an elevated recovery what to delete and what to run: only a file that no one but
    // administrators could have written is read, and never through a link.
    const std::string distrust = platform::whyFileUntrusted(filePath.toStdString());
    if (!distrust.empty())
        return failure(QStringLiteral("not trusted: ") + QString::fromStdString(distrust));
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return failure(QStringLiteral("cannot open: ") + file.errorString());
    if (file.size() > MaximumJournalBytes)
        return failure(QStringLiteral("larger than any journal this program writes"));
    return parse(file.readAll());
}

bool InstallJournal::write(const Record &record)
{
    // A new file beside the journal, written unbuffered, flushed, its size read back and renamed over the
    // old one, the folder flushed: a reader sees the old record or the new one, never half of either, and a
    // full disk is a failure here rather than an empty journal later. A link in its place is left alone.
    const QByteArray bytes = serialize(record);
    const std::string error = platform::replaceFile(filePath.toStdString(), bytes.toStdString());
    if (!error.empty()) {
        qCritical().noquote() << "无法写入安装日志:" << filePath << QString::fromStdString(error);
        return false;
    }
    qDebug().noquote() << "安装日志:" << stageName(record.stage);
    return true;
}

bool InstallJournal::remove()
{
    // As what it is: a link planted under the name goes, never what it points at.
    if (!platform::removeTree(filePath.toStdString())) {
        qCritical().noquote() << "无法删除安装日志:" << filePath;
        return false;
    }
    platform::flushFolder(folder.toStdString());
    return true;
}

InstallJournal::Reading InstallJournal::parse(const QByteArray &bytes)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (!document.isObject())
        return failure(QStringLiteral("not a JSON object: ") + parseError.errorString());
    const QJsonObject object = document.object();
    if (object.value(KeyFormat).toInt(-1) != JournalFormat)
        return failure(QStringLiteral("unknown format"));

    Record record;
    const std::optional<Stage> stage = stageFromName(object.value(KeyStage).toString());
    if (!stage)
        return failure(QStringLiteral("unknown stage: ") + object.value(KeyStage).toString());
    record.stage = *stage;
    record.backupFolder = object.value(KeyBackup).toString();
    if (!isBackupFolderName(record.backupFolder))
        return failure(QStringLiteral("not a backup folder name: ") + record.backupFolder);

    if (isTrialStage(record.stage)) {
        record.version = object.value(KeyVersion).toString();
        record.trialSeconds = object.value(KeyTrialSeconds).toInt(-1);
        if (!isUsableVersion(record.version) || record.trialSeconds <= 0 ||
            record.trialSeconds > MaximumTrialSeconds)
            return failure(QStringLiteral("a trial without its version or length"));
    }

    // From the complete backup on, the list is what a restore is checked against.
    const bool listNeeded =
        (record.stage >= Stage::BackupComplete && record.stage <= Stage::RestoreStarted) ||
        isTrialStage(record.stage);
    if (listNeeded && !object.value(KeyFiles).isArray())
        return failure(QStringLiteral("the list of backed-up files is missing"));
    QString error;
    if (!readFiles(object.value(KeyFiles).toArray(), record.files, error))
        return failure(error);
    return {record, QString()};
}

QByteArray InstallJournal::serialize(const Record &record)
{
    QJsonArray files;
    for (const BackedUpFile &file : record.files) {
        QJsonObject entry{{KeyPath, file.path}, {KeySize, static_cast<double>(file.size)}};
        if (file.link)
            entry.insert(KeyLink, true);
        files.append(entry);
    }
    QJsonObject object{{KeyFormat, JournalFormat},
                       {KeyStage, stageName(record.stage)},
                       {KeyBackup, record.backupFolder},
                       {KeyFiles, files}};
    if (isTrialStage(record.stage)) {
        object.insert(KeyVersion, record.version);
        object.insert(KeyTrialSeconds, record.trialSeconds);
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

bool InstallJournal::isListedEntry(const QString &path, const BackedUpFile &listed)
{
    const QFileInfo found(path);
    if (listed.link)
        return found.isSymbolicLink();
    return !found.isSymbolicLink() && found.isFile() && found.size() == listed.size;
}

QString InstallJournal::stageName(Stage stage)
{
    for (const auto &entry : StageNames) {
        if (entry.first == stage)
            return QString::fromLatin1(entry.second);
    }
    return QString();
}
