// What an ordinary local user can prepare before an administrator's update, and what the elevated updater
// must then leave alone. Each row lets the user "nobody" lay out files, folders and links of their own, then
// starts the updater as root the way an elevated copy starts (PKEXEC_UID naming that user) and checks what an
// administrator would see: a root-only folder that nothing may touch, the exit code, the program folder, the
// log and the daemon commands the stand-ins recorded.
//
// The attacks, by row:
// - "forged journal, recovery" / "forged journal, update": a program folder of the user's holding a journal
//   that says "installed" and a backup folder that is a link to the root-only folder, beside a daemon of the
//   user's. Nothing may be emptied through the link, and the daemon must not be run as root.
// - "backup links in a folder open to all": links named like the coming backup folders in a root-owned
//   program folder that everyone may write. Inside a folder only root can write, nobody can plant anything
//   where the backup goes, so the row shows what stops the attack: such a folder is refused outright.
// - "log links in the user's log folder": the log folder made by the user before the updater ever ran, with
//   links named like the coming log file (the run's process id is known before it writes) to a root-owned
//   file. "line break in app_path": a value that would start a line of its own in the log.
// - "program-data root of the user's": PROGRAMDATA handed on by the caller names a folder the user owns.
// - "tar with a zip appended": a package whose zip directory checks out while tar extracts something else.
// - "root's file named as information" / "root's folder beside the user's information": deletions of what
//   the caller names, for a file and a companion folder that are not the caller's.
// - "file becomes a folder": a failed extraction that turned a file of the product into a folder.
// - "config.ini with a byte-order mark" / "non-ASCII names without LANG": an update that must simply work.
// Shown by other tests, where a run of the executable could not stage them reliably:
// - The start-up sweep raced with links: it removes only work folders born more than five minutes ago by the
//   file system's clock; tst_staleworkfoldersweep ages them through its time source ("link inside: removed
//   as a link").
// - Two updates started in the same second: tst_backuprestore ("another run's backup in the same second").
// - A disk full after the extraction: tst_configfile ("the disk is full").
// - A lock file naming no readable holder, waited for a minute by design: tst_installrecovery's stale locks.

#include "EngineConstants.h"
#include "FolderSnapshot.h"
#include "LoopbackHttpServer.h"
#include "ProcessRun.h"
#include "StandinWorkspace.h"
#include "TestFiles.h"
#include "UpdaterRun.h"
#include "ZipBuilder.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>

#include <algorithm>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

enum class ProgramFolder
{
    Trusted,   // root's, closed to others
    OpenToAll, // root's, but everyone may add and remove entries
    Callers,   // made by the user
};

enum class Check
{
    Nothing,           // only what every row checks
    ProgramFolderKept, // every program file as it was (the updater's journal, lock and backups aside)
    LogLinesWhole,     // every line of the log file is one entry
    ConfigOneSection,  // config.ini updated as QSettings reads it, with one [Update] section
    NamesInstalled,    // every file of NonAsciiEntries installed
};

constexpr int NotChecked = -100;
constexpr int HeldStartMs = 10000;
constexpr int NobodyMs = 30000;
constexpr int OutcomeMs = 120000;
// Characters of the updater's output shown with a failure: its last lines say how the run went.
constexpr int LogTail = 700;
const QString SetPriv = QStringLiteral("/usr/bin/setpriv");
const QStringList AsNobody = {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                              QStringLiteral("--clear-groups")};
const QString CallerUid = QStringLiteral("65534");
const QString PackagePath = QStringLiteral("/update.zip");

// The updater's process exists, and its id is known, before it does anything: it waits for a file.
const QString HeldStart = QStringLiteral("echo \"held $$\"; while [ ! -e \"$0\" ]; do sleep 0.05; done; "
                                         "exec \"$@\"");

// Lines of the log that end a row: the updater waits in its window after each of them.
const QStringList Outcomes = {engine::ErrorInstallRestored,      engine::ErrorInstallNotRestored,
                              engine::ErrorBackupFailed,         engine::ErrorProcessesNotClosed,
                              QStringLiteral("文件验证失败"),    QStringLiteral("下载错误:"),
                              QStringLiteral("无法打开文件写入")};

// The attacks, run by sh as nobody. VICTIM is the root-only folder, USERS a folder where anyone may add
// entries, PROGRAM the program folder, DATA the updater's program-data root, STANDIN the product stand-in and
// PID the updater's process id.
const QString ForgedJournal =
    QStringLiteral("mkdir -p \"$PROGRAM/QuillonServer\"\n"
                   "cp \"$STANDIN\" \"$PROGRAM/QuillonServer/QuillonDaemon.exe\"\n"
                   "echo main > \"$PROGRAM/Quillon.exe\"\n"
                   "ln -s \"$VICTIM\" \"$PROGRAM/_update_backup_1\"\n"
                   "echo '{\"format\":1,\"stage\":\"installed\",\"backup\":\"_update_backup_1\"}' "
                   "> \"$PROGRAM/_update_backup_journal.json\"\n");
const QString BackupLinks =
    QStringLiteral("now=$(date +%s)\n"
                   "for i in $(seq 0 60); do\n"
                   "  ln -s \"$VICTIM\" \"$PROGRAM/_update_backup_$(date -d @$((now + i)) +%Y%m%d_%H%M%S)\"\n"
                   "done\n"
                   "echo 'nobody ALL=(ALL) NOPASSWD: ALL' > \"$PROGRAM/grant\"\n");
const QString LogLinks =
    QStringLiteral("mkdir -p \"$DATA/FarlinkUpdater/logs\"\n"
                   "now=$(date +%s)\n"
                   "for i in $(seq 0 30); do\n"
                   "  ln -s \"$VICTIM/passwd\" \"$DATA/FarlinkUpdater/logs/updater-$(date -d @$((now + i)) "
                   "+%Y%m%d-%H%M%S)-$PID.log\"\n"
                   "done\n");
const QString OwnDataFolder = QStringLiteral("mkdir \"$USERS/data\"\n");

// %PROGRAM%, %VICTIM%, %USERS%, %TMP% and %URL% stand for the row's places and the package's address.
QStringList updateWith(const QString &infoPath)
{
    return {QStringLiteral("-i"), infoPath, QStringLiteral("-m"), QStringLiteral("manual")};
}
const QStringList Update = updateWith(QStringLiteral("%TMP%/update.json"));
const QStringList Recover = {QStringLiteral("--recover"), QStringLiteral("%PROGRAM%/Quillon.exe")};
// Without a trial: the rows look at the installation, and their main program is no program.
const QByteArray Info =
    R"({"app_path": "%PROGRAM%/Quillon.exe", "new_version": "2.0.0", "download_url": "%URL%",)"
    R"( "trial_seconds": 0})";
const QByteArray AccountLine = "intruder::0:0::/root:/bin/sh";
const QByteArray LineBreakInfo = R"({"app_path": "%PROGRAM%/gone.exe\n)" + AccountLine +
                                 R"(", "new_version": "2.0.0", "download_url": "%URL%", "trial_seconds": 0})";
const QStringList WithoutLocale = {QStringLiteral("LANG"), QStringLiteral("LANGUAGE"),
                                   QStringLiteral("LC_ALL"), QStringLiteral("LC_CTYPE")};

const QByteArray PlainConfig = "[App]\nVersion=1.0.0\n\n[Update]\nLastCheckTime=2024-01-01 10:00:00\n";
const QByteArray BomConfig = "\xEF\xBB\xBF[Update]\nLastCheckTime=2024-01-01 10:00:00\n"
                             "LastPromptTime=2024-01-02 10:00:00\n\n[App]\nVersion=1.0.0\n";

const QList<ZipEntry> NewVersion = {ZipEntry{QStringLiteral("readme.txt"), "Quillon 2.0.0\n"},
                                    ZipEntry{QStringLiteral("data/new.dat"), randomBytes(3000, 7)}};
const QList<ZipEntry> NonAsciiEntries = {ZipEntry{QStringLiteral("插件/编解码器.dat"), randomBytes(3000, 8)},
                                         ZipEntry{QStringLiteral("résumé.txt"), "Quillon 2.0.0\n"}};

// The tar part holds the zip's files too, so that the check after the extraction finds them.
QByteArray tarWithZipAppended()
{
    QList<ZipEntry> tarEntries = NewVersion;
    tarEntries << ZipEntry{QStringLiteral("rootshell"), randomBytes(2000, 9), ZipEntry::Type::File, {}, 04755}
               << ZipEntry{QStringLiteral("etc"), {}, ZipEntry::Type::SymbolicLink, QStringLiteral("/etc")};
    return tarArchive(tarEntries) + zipArchive(NewVersion);
}

// The folder entry replaces the product's file "plugins"; the last entry cannot be extracted below the
// product's file readme.txt, so the extraction fails after that.
QByteArray fileBecomesFolder()
{
    return zipArchive({ZipEntry{QStringLiteral("plugins/"), {}, ZipEntry::Type::Folder},
                       ZipEntry{QStringLiteral("plugins/codec.dat"), randomBytes(3000, 10)},
                       ZipEntry{QStringLiteral("readme.txt/inner.txt"), "x"}});
}

// QFile cannot set the sticky bit.
bool setMode(const QString &path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

// Ended, or waiting in its window after an outcome. An update that succeeded ends the process itself once
// the product is restarted.
bool hasEnded(UpdaterRun &run)
{
    const QString log = run.log();
    const auto logged = [&log](const QString &outcome) { return log.contains(outcome); };
    return !run.isRunning() || (!log.contains(engine::InstallSucceeded) &&
                                std::any_of(Outcomes.cbegin(), Outcomes.cend(), logged));
}

bool isLogEntry(const QString &line)
{
    static const QRegularExpression entry(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[\\w+\\] "));
    return entry.match(line).hasMatch();
}

} // namespace

Q_DECLARE_METATYPE(ProgramFolder)
Q_DECLARE_METATYPE(Check)

class UntrustedPaths : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void leavesAloneWhatTheUserPrepared_data();
    void leavesAloneWhatTheUserPrepared();

private:
    QString fill(QString text) const;
    void layOut(ProgramFolder folder, const QByteArray &config);
    QProcessEnvironment updaterEnvironment(const QStringList &changes) const;
    bool prepareAsNobody(const QString &attack, const QString &infoPath, const QByteArray &info,
                         const QString &pid, const QString &programData) const;
    void verify(Check check, UpdaterRun &run, const FolderSnapshot &programBefore) const;

    std::unique_ptr<StandinWorkspace> workspace;
    std::unique_ptr<LoopbackHttpServer> server;
    QString victim;
    QString users;
    QString temporary;
    QString program;
};

void UntrustedPaths::init()
{
    if (geteuid() != 0)
        QSKIP("acting as an unprivileged user needs root");
    workspace = std::make_unique<StandinWorkspace>();
    QVERIFY(workspace->isValid());
    server = std::make_unique<LoopbackHttpServer>();
    QVERIFY(server->isListening());
}

// The workspace ends whatever a row started from it, the user's stand-ins included.
void UntrustedPaths::cleanup()
{
    server.reset();
    workspace.reset();
}

QString UntrustedPaths::fill(QString text) const
{
    return text.replace(QStringLiteral("%PROGRAM%"), program)
        .replace(QStringLiteral("%VICTIM%"), victim)
        .replace(QStringLiteral("%USERS%"), users)
        .replace(QStringLiteral("%TMP%"), temporary)
        .replace(QStringLiteral("%URL%"), server->url(PackagePath).toString());
}

// Root's side of the machine: folders where anyone may add entries (as /tmp), a root-only folder with files
// in the temporary folder, and the product.
void UntrustedPaths::layOut(ProgramFolder folder, const QByteArray &config)
{
    const QString root = workspace->path();
    users = root + QStringLiteral("/users");
    temporary = root + QStringLiteral("/tmp");
    victim = temporary + QStringLiteral("/root-only");
    const QString product = root + QStringLiteral("/product");
    program = folder == ProgramFolder::Callers ? users + QStringLiteral("/shop") : product;
    writeFiles(victim, {{"sentinel", "only root may change this\n"},
                        {"passwd", "root:x:0:0:root:/root:/bin/bash\n"},
                        {"note.json", "{}"},
                        {"keys/secret", randomBytes(100, 1)}});
    writeFiles(product, {{"Quillon.exe", "main"},
                         {"readme.txt", "Quillon 1.0.0\n"},
                         {"plugins", "old plugins\n"},
                         {"config.ini", config}});
    QVERIFY(QDir().mkpath(users) && QDir().mkpath(root + QStringLiteral("/programdata")));
    QVERIFY(setMode(victim, 0700) && setMode(root, 0755));
    for (const QString &open : {users, temporary, root + QStringLiteral("/programdata")})
        QVERIFY(setMode(open, 01777));
    if (folder == ProgramFolder::OpenToAll)
        QVERIFY(setMode(product, 0777));
}

// As pkexec starts the elevated copy: root, with the caller's user id; then the row's changes ("NAME=value",
// or "NAME" for a variable that is not set).
QProcessEnvironment UntrustedPaths::updaterEnvironment(const QStringList &changes) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PKEXEC_UID"), CallerUid);
    environment.insert(QStringLiteral("TMPDIR"), temporary);
    environment.insert(QStringLiteral("PROGRAMDATA"), workspace->path() + QStringLiteral("/programdata"));
    for (const QString &change : changes) {
        const int equals = change.indexOf(QLatin1Char('='));
        if (equals < 0)
            environment.remove(change);
        else
            environment.insert(change.left(equals), fill(change.mid(equals + 1)));
    }
    return environment;
}

// The caller's information file, written where -i points (when the row has one), then the attack.
bool UntrustedPaths::prepareAsNobody(const QString &attack, const QString &infoPath, const QByteArray &info,
                                     const QString &pid, const QString &programData) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VICTIM"), victim);
    environment.insert(QStringLiteral("USERS"), users);
    environment.insert(QStringLiteral("PROGRAM"), program);
    environment.insert(QStringLiteral("DATA"), programData);
    environment.insert(QStringLiteral("STANDIN"),
                       qEnvironmentVariable("FARLINK_TOOLS_BIN") + QStringLiteral("/product-standin"));
    environment.insert(QStringLiteral("PID"), pid);
    environment.insert(QStringLiteral("INFO_PATH"), info.isEmpty() ? QString() : infoPath);
    environment.insert(QStringLiteral("INFO"), fill(QString::fromUtf8(info)));
    const QString script =
        QStringLiteral("set -e\n[ -z \"$INFO_PATH\" ] || printf '%s' \"$INFO\" > \"$INFO_PATH\"\n") + attack;
    const ProcessRun run =
        runProcess(SetPriv, AsNobody + QStringList{QStringLiteral("sh"), QStringLiteral("-c"), script},
                   environment, users, NobodyMs);
    if (!run.succeeded())
        qWarning("the user's preparation failed: %s", run.errors.constData());
    return run.succeeded();
}

void UntrustedPaths::leavesAloneWhatTheUserPrepared_data()
{
    QTest::addColumn<QString>("attack");
    QTest::addColumn<ProgramFolder>("folder");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("info"); // the caller's information file; none when empty
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<Check>("check");

    const QByteArray newVersion = zipArchive(NewVersion);
    QTest::newRow("forged journal, recovery")
        << ForgedJournal << ProgramFolder::Callers << Recover << QByteArray() << QStringList() << newVersion
        << PlainConfig << 2 << Check::Nothing;
    QTest::newRow("forged journal, update")
        << ForgedJournal << ProgramFolder::Callers << Update << Info << QStringList() << newVersion
        << PlainConfig << 1 << Check::Nothing;
    QTest::newRow("backup links in a folder open to all")
        << BackupLinks << ProgramFolder::OpenToAll << Update << Info << QStringList() << newVersion
        << PlainConfig << 1 << Check::Nothing;
    QTest::newRow("log links in the user's log folder")
        << LogLinks << ProgramFolder::Trusted << Update << LineBreakInfo << QStringList() << newVersion
        << PlainConfig << 1 << Check::Nothing;
    QTest::newRow("line break in app_path")
        << QString() << ProgramFolder::Trusted << Update << LineBreakInfo << QStringList() << newVersion
        << PlainConfig << 1 << Check::LogLinesWhole;
    QTest::newRow("program-data root of the user's")
        << OwnDataFolder << ProgramFolder::Trusted << Update << Info
        << QStringList{QStringLiteral("PROGRAMDATA=%USERS%/data")} << newVersion << PlainConfig << NotChecked
        << Check::ProgramFolderKept;
    QTest::newRow("tar with a zip appended")
        << QString() << ProgramFolder::Trusted << Update << Info << QStringList() << tarWithZipAppended()
        << PlainConfig << NotChecked << Check::ProgramFolderKept;
    QTest::newRow("root's file named as information")
        << QString() << ProgramFolder::Trusted << updateWith(QStringLiteral("%VICTIM%/note.json"))
        << QByteArray() << QStringList() << newVersion << PlainConfig << 1 << Check::Nothing;
    QTest::newRow("root's folder beside the user's information")
        << QString() << ProgramFolder::Trusted << updateWith(QStringLiteral("%VICTIM%.json")) << Info
        << QStringList() << newVersion << PlainConfig << 0 << Check::Nothing;
    QTest::newRow("file becomes a folder")
        << QString() << ProgramFolder::Trusted << Update << Info << QStringList() << fileBecomesFolder()
        << PlainConfig << NotChecked << Check::ProgramFolderKept;
    QTest::newRow("config.ini with a byte-order mark")
        << QString() << ProgramFolder::Trusted << Update << Info << QStringList() << newVersion << BomConfig
        << 0 << Check::ConfigOneSection;
    QTest::newRow("non-ASCII names without LANG")
        << QString() << ProgramFolder::Trusted << Update << Info << WithoutLocale
        << zipArchive(NonAsciiEntries) << PlainConfig << 0 << Check::NamesInstalled;
}

void UntrustedPaths::leavesAloneWhatTheUserPrepared()
{
    QFETCH(QString, attack);
    QFETCH(ProgramFolder, folder);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, info);
    QFETCH(QStringList, environment);
    QFETCH(QByteArray, package);
    QFETCH(QByteArray, config);
    QFETCH(int, exitCode);
    QFETCH(Check, check);

    layOut(folder, config);
    server->addRoute(PackagePath, LoopbackHttpServer::ok(package));
    for (QString &argument : arguments)
        argument = fill(argument);
    const QProcessEnvironment updaterEnvironment = this->updaterEnvironment(environment);
    const QString go = workspace->path() + QStringLiteral("/go");

    UpdaterRun run;
    run.start(QStringList{QStringLiteral("-c"), HeldStart, go, UpdaterRun::updaterPath()} + arguments,
              updaterEnvironment, workspace->path(), QStringLiteral("/bin/sh"));
    QVERIFY2(run.waitForLog(QStringLiteral("held "), HeldStartMs), qPrintable(run.log()));
    const QString pid = QRegularExpression(QStringLiteral("held (\\d+)")).match(run.log()).captured(1);
    QVERIFY(prepareAsNobody(attack, arguments.value(1), info, pid,
                            updaterEnvironment.value(QStringLiteral("PROGRAMDATA"))));
    const FolderSnapshot victimBefore(victim);
    const FolderSnapshot programBefore(program, FolderSnapshot::Scope::Everything, engine::BackupMarker);
    writeFile(go, {});
    QVERIFY2(QTest::qWaitFor([&run] { return hasEnded(run); }, OutcomeMs),
             qPrintable(run.log().right(LogTail)));

    QCOMPARE(FolderSnapshot(victim).differenceFrom(victimBefore), QString());
    // The product laid out by root has no daemon: any daemon command ran the user's.
    QCOMPARE(workspace->calls().filter(QRegularExpression(QStringLiteral("^QuillonDaemon\\.exe "))),
             QStringList());
    if (exitCode != NotChecked)
        QVERIFY2(run.exitCode() == exitCode, qPrintable(run.log().right(LogTail)));
    verify(check, run, programBefore);
}

void UntrustedPaths::verify(Check check, UpdaterRun &run, const FolderSnapshot &programBefore) const
{
    switch (check) {
    case Check::Nothing:
        break;
    case Check::ProgramFolderKept:
        QCOMPARE(FolderSnapshot(program, FolderSnapshot::Scope::Everything, engine::BackupMarker)
                     .differenceFrom(programBefore),
                 QString());
        break;
    case Check::LogLinesWhole: {
        const QStringList lines = run.logFileLines();
        QVERIFY2(!lines.isEmpty(), qPrintable(run.log()));
        for (const QString &line : lines)
            QVERIFY2(isLogEntry(line), qPrintable(line));
        break;
    }
    case Check::ConfigOneSection: {
        const QString configPath = program + QStringLiteral("/config.ini");
        QCOMPARE(readText(configPath).split(QLatin1Char('\n')).filter(QStringLiteral("[Update]")).size(), 1);
        const QSettings config(configPath, QSettings::IniFormat);
        QCOMPARE(config.value(QStringLiteral("App/Version")).toString(), QStringLiteral("2.0.0"));
        QCOMPARE(config.value(QStringLiteral("Update/LastUpdateVersion")).toString(),
                 QStringLiteral("2.0.0"));
        QVERIFY(!config.contains(QStringLiteral("Update/LastCheckTime")));
        QVERIFY(!config.contains(QStringLiteral("Update/LastPromptTime")));
        break;
    }
    case Check::NamesInstalled:
        for (const ZipEntry &entry : NonAsciiEntries)
            QVERIFY2(readFile(program + QLatin1Char('/') + entry.name) == entry.data, qPrintable(entry.name));
        break;
    }
}

QTEST_GUILESS_MAIN(UntrustedPaths)
#include "tst_untrustedpaths.moc"
