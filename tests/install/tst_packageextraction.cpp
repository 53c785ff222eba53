#include "EngineProbe.h"
#include "FolderSnapshot.h"
#include "MessageLog.h"
#include "PackageListing.h"
#include "PowerShellCommand.h"
#include "ProcessRun.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <memory>

using Files = QMap<QString, QByteArray>;

namespace {

const QString AppFolderName = QStringLiteral("Quillon");
const QStringList ExtractionProgress{
    QStringLiteral("80 Extracting files..."), QStringLiteral("83 Extracting files..."),
    QStringLiteral("86 Extracting files..."), QStringLiteral("89 Extracting files..."),
    QStringLiteral("92 Extracting files..."), QStringLiteral("95 Extracting files...")};
// Long enough for a shell script to start, far below what the tools normally get.
constexpr int ShortLimitMs = 500;

enum class Package
{
    OverwritesOnly,
    NewTopLevelFile,
    NewFileInSubFolder,
    Truncated,
    Noise,
    ParentFolderEntry,
    AbsoluteEntry,
    LinkOutside,
    Empty,
    ExpandsToTwoGiB,
    Zip64,
    NonAsciiName,
    // Swapped for another of the same sizes and CRC-32s after the listing was read.
    SwappedAfterCheck,
};

// A message followed by its own CRC-32 always has the CRC-32 0x2144df1c: two such files of one size differ
// in nothing a CRC-32 sees.
QByteArray withOwnCrc32(const QByteArray &message)
{
    quint32 crc = 0xffffffff;
    for (const char byte : message) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    QByteArray result = message;
    for (int shift = 0; shift < 32; shift += 8)
        result.append(char(~crc >> shift));
    return result;
}

void installTool(const QString &dataFile, const QString &destination)
{
    QFile::remove(destination);
    QVERIFY(QFile::copy(QFINDTESTDATA(dataFile), destination));
    QVERIFY(QFile::setPermissions(destination, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

bool isAlive(const QString &pidFile)
{
    const qint64 pid = readText(pidFile).trimmed().toLongLong();
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH);
}

QString expectedScript(const QString &quotedPackage, const QString &quotedFolder)
{
    return QStringLiteral("try { Expand-Archive -LiteralPath '") + quotedPackage +
           QStringLiteral("' -DestinationPath '") + quotedFolder +
           QStringLiteral("' -Force -ErrorAction Stop; exit 0 } catch { Write-Error $_; exit 1 }");
}

} // namespace

Q_DECLARE_METATYPE(Package)

class PackageExtractionTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void encoding_data();
    void encoding();
    void scriptPassedToPowerShell_data();
    void scriptPassedToPowerShell();
    void packageSize_data();
    void packageSize();
    void toolOutcomes_data();
    void toolOutcomes();
    void toolPastItsLimit_data();
    void toolPastItsLimit();
    void badPackage_data();
    void badPackage();
    void extractionMatchesPackage_data();
    void extractionMatchesPackage();
    void manifestPackage_data();
    void manifestPackage();

private:
    void setUpFolders(const QString &appName, const QString &workName);
    void makeEngine(QString zipPath, const EngineLimits &limits = {});
    // A new engine whose PowerShell and/or tar limit is ShortLimitMs.
    void shortenToolLimits(bool powerShell, bool tar);
    void zipStage(const QString &stage, const QStringList &entries, const QStringList &options);
    void makeZip(const QMap<QString, QByteArray> &files, const QStringList &options = {});
    void buildPackage(Package package);
    void installFakePowerShell(const QString &mode);
    QString app(const QString &relative) const { return appDir + QLatin1Char('/') + relative; }
    QString psRecord(const QString &name) const { return scratch->filePath(QStringLiteral("ps/") + name); }
    QString tarRecord(const QString &name) const { return scratch->filePath(QStringLiteral("tar/") + name); }

    QString originalPath;
    QString bsdtar;
    std::unique_ptr<QTemporaryDir> scratch;
    std::unique_ptr<EngineProbe> engine;
    std::unique_ptr<EngineSignalLog> signalLog;
    QString rootDir;
    QString appDir;
    QString binDir;
};

void PackageExtractionTest::initTestCase()
{
    originalPath = qEnvironmentVariable("PATH");
    bsdtar = QStandardPaths::findExecutable(QStringLiteral("bsdtar"));
    QVERIFY2(!bsdtar.isEmpty(), "bsdtar (libarchive-tools) builds the test packages");
    QVERIFY2(QFileInfo(qEnvironmentVariable("FARLINK_TOOLS_BIN") + QStringLiteral("/tar")).isExecutable(),
             "the tar stand-in must be built");
}

void PackageExtractionTest::init()
{
    scratch = std::make_unique<QTemporaryDir>();
    QVERIFY(scratch->isValid());
    binDir = scratch->filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(binDir));
    installTool(QStringLiteral("data/fake-tar.sh"), binDir + QStringLiteral("/tar"));
    // No PowerShell unless a test installs the fake: tar is what runs here by default.
    qputenv("PATH", (binDir + QLatin1Char(':') + originalPath).toLocal8Bit());
    qputenv("FAKE_PS_DIR", psRecord(QString()).toLocal8Bit());
    qputenv("FAKE_TAR_DIR", tarRecord(QString()).toLocal8Bit());
    qunsetenv("FAKE_PS_MODE");
    qunsetenv("FAKE_TAR_MODE");
    setUpFolders(AppFolderName, QStringLiteral("work"));
}

void PackageExtractionTest::cleanup()
{
    qputenv("PATH", originalPath.toLocal8Bit());
    signalLog.reset();
    engine.reset();
    scratch.reset();
}

void PackageExtractionTest::setUpFolders(const QString &appName, const QString &workName)
{
    rootDir = scratch->filePath(QStringLiteral("root"));
    appDir = rootDir + QLatin1Char('/') + appName;
    writeFile(app(QStringLiteral("app.exe")), "old program");
    writeFile(app(QStringLiteral("config.ini")), "[App]\nVersion=1.0\n");
    writeFile(app(QStringLiteral("QuillonServer/QuillonDaemon.exe")), "old daemon");
    writeFile(rootDir + QStringLiteral("/sibling/data.txt"), "next to the program folder");
    writeFile(rootDir + QStringLiteral("/parent.txt"), "in the parent folder");
    QVERIFY(QDir().mkpath(scratch->filePath(workName)));

    makeEngine(scratch->filePath(workName + QStringLiteral("/update.zip")));
}

void PackageExtractionTest::makeEngine(QString zipPath, const EngineLimits &limits)
{
    signalLog.reset();
    engine = std::make_unique<EngineProbe>(limits);
    engine->setAppDir(appDir);
    engine->zipPath = std::move(zipPath);
    signalLog = std::make_unique<EngineSignalLog>(engine.get());
}

void PackageExtractionTest::shortenToolLimits(bool powerShell, bool tar)
{
    EngineLimits limits;
    limits.powerShellTimeoutMs = powerShell ? ShortLimitMs : limits.powerShellTimeoutMs;
    limits.tarTimeoutMs = tar ? ShortLimitMs : limits.tarTimeoutMs;
    makeEngine(engine->zipPath, limits);
}

// Entries go into the zip in the order given.
void PackageExtractionTest::zipStage(const QString &stage, const QStringList &entries,
                                     const QStringList &options)
{
    const QStringList arguments{QStringLiteral("--format"), QStringLiteral("zip"),
                                QStringLiteral("-cf"),      engine->zipPath,
                                QStringLiteral("-C"),       stage};
    QCOMPARE(QProcess::execute(bsdtar, arguments + options + entries), 0);
}

void PackageExtractionTest::makeZip(const QMap<QString, QByteArray> &files, const QStringList &options)
{
    QTemporaryDir stage;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        writeFile(stage.filePath(it.key()), it.value());
    zipStage(stage.path(), files.keys(), options);
}

void PackageExtractionTest::buildPackage(Package package)
{
    const QByteArray program = "new program";
    switch (package) {
    case Package::OverwritesOnly:
        return makeZip({{QStringLiteral("app.exe"), program},
                        {QStringLiteral("QuillonServer/QuillonDaemon.exe"), "new daemon"}});
    case Package::NewTopLevelFile:
        return makeZip({{QStringLiteral("app.exe"), program}, {QStringLiteral("new.dll"), "added"}});
    case Package::NewFileInSubFolder:
        return makeZip(
            {{QStringLiteral("app.exe"), program}, {QStringLiteral("QuillonServer/new.dll"), "added"}});
    case Package::Truncated: {
        makeZip(
            {{QStringLiteral("app.exe"), program}, {QStringLiteral("zz-large.bin"), randomBytes(200000, 1)}});
        QFile zip(engine->zipPath);
        QVERIFY(zip.resize(zip.size() / 2));
        return;
    }
    case Package::Noise:
        return writeFile(engine->zipPath, randomBytes(1025, 2));
    case Package::ParentFolderEntry:
        return makeZip({{QStringLiteral("app.exe"), program}, {QStringLiteral("evil.txt"), "escaped"}},
                       {QStringLiteral("-s"), QStringLiteral(",^evil.txt$,../sibling/evil.txt,")});
    case Package::AbsoluteEntry:
        return makeZip({{QStringLiteral("app.exe"), program}, {QStringLiteral("evil.txt"), "escaped"}},
                       {QStringLiteral("-P"), QStringLiteral("-s"),
                        QStringLiteral(",^evil.txt$,%1/sibling/evil.txt,").arg(rootDir)});
    case Package::LinkOutside: {
        // A link out of the program folder, then a file written through it.
        QTemporaryDir stage;
        QVERIFY(QFile::link(QStringLiteral("../sibling"), stage.filePath(QStringLiteral("link"))));
        writeFile(stage.filePath(QStringLiteral("app.exe")), program);
        writeFile(stage.filePath(QStringLiteral("through.txt")), "escaped");
        return zipStage(stage.path(), {"app.exe", "link", "through.txt"},
                        {QStringLiteral("-s"), QStringLiteral(",^through.txt$,link/through.txt,")});
    }
    case Package::Empty:
        // Only the end-of-central-directory record.
        return writeFile(engine->zipPath, QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0'));
    case Package::ExpandsToTwoGiB: {
        QTemporaryDir stage;
        QFile zeros(stage.filePath(QStringLiteral("zeros.bin")));
        QVERIFY(zeros.open(QIODevice::WriteOnly));
        QVERIFY(zeros.resize(Q_INT64_C(2) << 30)); // sparse: costs no disk space
        zeros.close();
        writeFile(stage.filePath(QStringLiteral("app.exe")), program);
        return zipStage(stage.path(), {"app.exe", "zeros.bin"},
                        {QStringLiteral("--options"), QStringLiteral("zip:compression-level=1")});
    }
    case Package::Zip64:
        return makeZip({{QStringLiteral("app.exe"), program}, {QStringLiteral("new.dll"), "added"}},
                       {QStringLiteral("--options"), QStringLiteral("zip:zip64")});
    case Package::NonAsciiName:
        return makeZip({{QStringLiteral("app.exe"), program}, {QStringLiteral("docs/读我.txt"), "读我"}});
    case Package::SwappedAfterCheck: {
        const QString daemon = QStringLiteral("QuillonServer/QuillonDaemon.exe");
        makeZip({{QStringLiteral("app.exe"), program}, {daemon, withOwnCrc32("new daemon!")}});
        QVERIFY(engine->packageListing.read(engine->zipPath));
        makeZip({{QStringLiteral("app.exe"), program}, {daemon, withOwnCrc32("evil daemon")}});
        PackageListing swapped;
        QVERIFY(swapped.read(engine->zipPath));
        QCOMPARE(swapped.entries().first().crc32, engine->packageListing.entries().first().crc32);
        return;
    }
    }
}

void PackageExtractionTest::installFakePowerShell(const QString &mode)
{
    if (mode == QLatin1String("absent"))
        return;
    installTool(QStringLiteral("data/fake-powershell.sh"), binDir + QStringLiteral("/powershell"));
    qputenv("FAKE_PS_MODE", mode.toLatin1());
}

void PackageExtractionTest::encoding_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("one unit, two fill characters") << QStringLiteral("A") << QStringLiteral("QQA=");
    QTest::newRow("three units, no fill") << QStringLiteral("ABC") << QStringLiteral("QQBCAEMA");
    QTest::newRow("high byte set") << QStringLiteral("中") << QStringLiteral("LU4=");
    QTest::newRow("surrogate pair") << QStringLiteral("😀") << QStringLiteral("PdgA3g==");
}

void PackageExtractionTest::encoding()
{
    QFETCH(QString, script);
    QFETCH(QString, expected);
    QCOMPARE(engine::encodePowerShellCommand(script), expected);
}

void PackageExtractionTest::scriptPassedToPowerShell_data()
{
    QTest::addColumn<QString>("appName");
    QTest::addColumn<QString>("workName");
    QTest::addColumn<QString>("quotedAppName");
    QTest::addColumn<QString>("quotedWorkName");

    QTest::newRow("plain") << AppFolderName << QStringLiteral("work") << AppFolderName
                           << QStringLiteral("work");
    QTest::newRow("apostrophes doubled") << QStringLiteral("O'Brien's Quillon") << QStringLiteral("it's")
                                         << QStringLiteral("O''Brien''s Quillon") << QStringLiteral("it''s");
    QTest::newRow("percent sequences kept") << QStringLiteral("Quillon %1") << QStringLiteral("pkg %2 %1")
                                            << QStringLiteral("Quillon %1") << QStringLiteral("pkg %2 %1");
    QTest::newRow("non-Latin letters") << QStringLiteral("远程 桌面 😀") << QStringLiteral("更新")
                                       << QStringLiteral("远程 桌面 😀") << QStringLiteral("更新");
    // PowerShell ends a single-quoted string at each of these as well.
    const QChar typographic[] = {QChar(0x2018), QChar(0x2019), QChar(0x201A), QChar(0x201B)};
    for (const QChar quote : typographic) {
        const QString name = QStringLiteral("Quillon %1beta").arg(quote);
        QTest::newRow(
            qPrintable(QStringLiteral("U+%1 doubled").arg(quote.unicode(), 4, 16, QLatin1Char('0'))))
            << name << QStringLiteral("w%1").arg(quote) << QStringLiteral("Quillon %1%1beta").arg(quote)
            << QStringLiteral("w%1%1").arg(quote);
    }
    const QString breakOut = QStringLiteral("x\u2019; Remove-Item -Recurse . ; \u2018");
    QTest::newRow("name written to break out and run code")
        << breakOut << QStringLiteral("work")
        << QStringLiteral("x\u2019\u2019; Remove-Item -Recurse . ; \u2018\u2018") << QStringLiteral("work");
}

void PackageExtractionTest::scriptPassedToPowerShell()
{
    QFETCH(QString, appName);
    QFETCH(QString, workName);
    QFETCH(QString, quotedAppName);
    QFETCH(QString, quotedWorkName);
    setUpFolders(appName, workName);
    buildPackage(Package::NewTopLevelFile);
    installFakePowerShell(QStringLiteral("extract-exit0"));

    QVERIFY(engine->extractUpdatePackage());

    const QStringList arguments = readText(psRecord(QStringLiteral("args"))).split(QLatin1Char('\n'));
    QCOMPARE(arguments.size(), 4); // three arguments, each ended by a line break
    QCOMPARE(arguments.at(0), QStringLiteral("-NoProfile"));
    QCOMPARE(arguments.at(1), QStringLiteral("-EncodedCommand"));
    const QRegularExpression standardBase64(
        QStringLiteral("^([A-Za-z0-9+/]{4})*([A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$"));
    QVERIFY(!arguments.at(2).isEmpty() && standardBase64.match(arguments.at(2)).hasMatch());
    const QString quotedPackage = QDir::toNativeSeparators(scratch->filePath(quotedWorkName + "/update.zip"));
    const QString quotedFolder =
        QDir::toNativeSeparators(scratch->filePath(QStringLiteral("root/") + quotedAppName));
    QCOMPARE(readText(psRecord(QStringLiteral("script"))), expectedScript(quotedPackage, quotedFolder));
    QCOMPARE(readText(psRecord(QStringLiteral("cwd"))).trimmed(), appDir);
    // Proof that the script's paths reach the tool intact: the fake extracted from them.
    QCOMPARE(readText(app(QStringLiteral("new.dll"))), QStringLiteral("added"));
}

void PackageExtractionTest::packageSize_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("expectedResult");
    QTest::addColumn<QString>("expectedLog");

    QTest::newRow("missing") << -1 << false << QStringLiteral("错误：临时文件不存在: ");
    QTest::newRow("empty") << 0 << false << QStringLiteral("错误：更新包文件太小，可能损坏");
    QTest::newRow("99 bytes") << 99 << false << QStringLiteral("错误：更新包文件太小，可能损坏");
    // Large enough, but not a zip: refused before any tool runs.
    QTest::newRow("100 bytes, not a zip") << 100 << false << QStringLiteral("更新包无效: ");
}

void PackageExtractionTest::packageSize()
{
    QFETCH(int, size);
    QFETCH(bool, expectedResult);
    QFETCH(QString, expectedLog);
    if (size >= 0)
        writeFile(engine->zipPath, QByteArray(size, 'x'));
    installFakePowerShell(QStringLiteral("exit0"));
    const FolderSnapshot before(rootDir);
    MessageLog log;

    QCOMPARE(engine->extractUpdatePackage(), expectedResult);
    QCOMPARE(log.startingWith(expectedLog).size(), 1);
    QCOMPARE(QFileInfo::exists(psRecord(QStringLiteral("script"))), expectedResult);
    QCOMPARE(signalLog->of(QStringLiteral("installProgress")),
             expectedResult ? ExtractionProgress : QStringList());
    QCOMPARE(FolderSnapshot(rootDir).differenceFrom(before), QString());
}

void PackageExtractionTest::toolOutcomes_data()
{
    QTest::addColumn<QString>("powerShell");
    QTest::addColumn<QString>("tar");
    QTest::addColumn<Package>("package");
    QTest::addColumn<bool>("expectedResult");
    QTest::addColumn<bool>("tarRuns");
    QTest::addColumn<QStringList>("newFileLines");
    QTest::addColumn<QString>("resultLine");

    const QString allTrue = QStringLiteral("解压结果: 命令成功=true, 新增文件=true, 最终结果=true");
    const QString overwritten = QStringLiteral("解压结果: 命令成功=true, 新增文件=false, 最终结果=true");
    const QString nothing = QStringLiteral("解压结果: 命令成功=false, 新增文件=false, 最终结果=false");
    const QString newButFailed = QStringLiteral("解压结果: 命令成功=false, 新增文件=true, 最终结果=false");
    const QStringList newDll{QStringLiteral("新增文件: new.dll")};

    QTest::newRow("PowerShell succeeds, only overwrites")
        << "extract-exit0"
        << "pass" << Package::OverwritesOnly << true << false << QStringList() << overwritten;
    QTest::newRow("PowerShell succeeds, new file in a sub-folder only")
        << "extract-exit0"
        << "pass" << Package::NewFileInSubFolder << true << false << QStringList() << overwritten;
    QTest::newRow("PowerShell exits 1, tar extracts")
        << "exit1"
        << "pass" << Package::NewTopLevelFile << true << true << newDll << allTrue;
    QTest::newRow("PowerShell wrote files and exits 1, tar still runs")
        << "extract-exit1"
        << "pass" << Package::NewTopLevelFile << true << true << newDll << allTrue;
    QTest::newRow("no PowerShell, tar extracts through the stand-in")
        << "absent"
        << "pass" << Package::NewTopLevelFile << true << true << newDll << allTrue;
    QTest::newRow("no PowerShell, tar extracts a ZIP64 package")
        << "absent"
        << "pass" << Package::Zip64 << true << true << newDll << allTrue;
    QTest::newRow("both fail, nothing new")
        << "exit1"
        << "fail" << Package::NewTopLevelFile << false << true << QStringList() << nothing;
    QTest::newRow("both fail after a new top-level file appeared: still failed")
        << "extract-exit1"
        << "fail" << Package::NewTopLevelFile << false << true << newDll << newButFailed;
    QTest::newRow("both fail, new file only in a sub-folder")
        << "extract-exit1"
        << "fail" << Package::NewFileInSubFolder << false << true << QStringList() << nothing;
    // An exit code of 0 is not an installation: the folder must hold the package.
    QTest::newRow("PowerShell exits 0 without extracting, tar extracts")
        << "exit0"
        << "pass" << Package::NewTopLevelFile << true << true << newDll << allTrue;
    QTest::newRow("both exit 0 without extracting")
        << "exit0"
        << "stub" << Package::NewTopLevelFile << false << true << QStringList()
        << QStringLiteral("解压结果: 命令成功=true, 新增文件=false, 最终结果=false");
    QTest::newRow("neither tool can start")
        << "absent"
        << "absent" << Package::NewTopLevelFile << false << false << QStringList() << nothing;
}

void PackageExtractionTest::toolOutcomes()
{
    QFETCH(QString, powerShell);
    QFETCH(QString, tar);
    QFETCH(Package, package);
    QFETCH(bool, expectedResult);
    QFETCH(bool, tarRuns);
    QFETCH(QStringList, newFileLines);
    QFETCH(QString, resultLine);
    buildPackage(package);
    installFakePowerShell(powerShell);
    if (tar == QLatin1String("absent")) {
        QVERIFY(QFile::remove(binDir + QStringLiteral("/tar")));
        qputenv("PATH", binDir.toLocal8Bit());
    }
    qputenv("FAKE_TAR_MODE", tar.toLatin1());
    const bool powerShellFails = powerShell.endsWith(QLatin1String("exit1"));
    MessageLog log;

    QCOMPARE(engine->extractUpdatePackage(), expectedResult);

    QCOMPARE(QFileInfo::exists(tarRecord(QStringLiteral("args"))), tarRuns);
    if (tarRuns)
        QCOMPARE(readText(tarRecord(QStringLiteral("args"))),
                 QStringList({"-xf", engine->zipPath, "-C", appDir, QString()}).join(QLatin1Char('\n')));
    QCOMPARE(log.startingWith(QStringLiteral("新增文件:")), newFileLines);
    QVERIFY2(log.contains(resultLine), qPrintable(log.startingWith(QStringLiteral("解压结果:")).join('\n')));
    const QStringList errorLines = log.startingWith(QStringLiteral("解压错误:"));
    const bool errorShown = !expectedResult && powerShellFails;
    QCOMPARE(errorLines,
             errorShown ? QStringList{QStringLiteral("解压错误: Expand-Archive failed\n")} : QStringList());
    QCOMPARE(signalLog->of(QStringLiteral("installProgress")), ExtractionProgress);
    if (expectedResult)
        QCOMPARE(readText(app(QStringLiteral("app.exe"))), QStringLiteral("new program"));
}

void PackageExtractionTest::toolPastItsLimit_data()
{
    QTest::addColumn<QString>("tar");
    QTest::addColumn<bool>("expectedResult");

    QTest::newRow("PowerShell hangs, tar extracts") << "pass" << true;
    QTest::newRow("both hang") << "hang" << false;
}

void PackageExtractionTest::toolPastItsLimit()
{
    QFETCH(QString, tar);
    QFETCH(bool, expectedResult);
    shortenToolLimits(true, true);
    buildPackage(Package::NewTopLevelFile);
    installFakePowerShell(QStringLiteral("hang"));
    qputenv("FAKE_TAR_MODE", tar.toLatin1());

    QCOMPARE(engine->extractUpdatePackage(), expectedResult);

    // Only one extractor may write at a time: PowerShell was gone before tar began.
    QCOMPARE(readText(tarRecord(QStringLiteral("powershell-at-start"))).trimmed(), QStringLiteral("gone"));
    QVERIFY(!isAlive(psRecord(QStringLiteral("pid"))));
    QVERIFY(!isAlive(tarRecord(QStringLiteral("pid"))));
    QCOMPARE(QFileInfo::exists(app(QStringLiteral("new.dll"))), expectedResult);
}

void PackageExtractionTest::badPackage_data()
{
    QTest::addColumn<Package>("package");

    QTest::newRow("truncated zip") << Package::Truncated;
    QTest::newRow("1025 bytes of noise") << Package::Noise;
    QTest::newRow("entry with ../") << Package::ParentFolderEntry;
    QTest::newRow("entry with an absolute path") << Package::AbsoluteEntry;
    QTest::newRow("link pointing outside, file through it") << Package::LinkOutside;
    QTest::newRow("empty zip") << Package::Empty;
    // The expansion outlasts a shortened tar limit: tar is killed half-way.
    QTest::newRow("one entry expanding to 2 GiB of zeros") << Package::ExpandsToTwoGiB;
}

void PackageExtractionTest::badPackage()
{
    QFETCH(Package, package);
    shortenToolLimits(false, package == Package::ExpandsToTwoGiB);
    buildPackage(package);
    const FolderSnapshot outsideBefore(rootDir, FolderSnapshot::Scope::Everything, AppFolderName);
    const FolderSnapshot programBefore(appDir, FolderSnapshot::Scope::FilesOnly);
    QVERIFY(engine->createBackup());

    // None of them may be installed, and none may change anything outside the program folder.
    QVERIFY(!engine->extractUpdatePackage());
    QCOMPARE(FolderSnapshot(rootDir, FolderSnapshot::Scope::Everything, AppFolderName)
                 .differenceFrom(outsideBefore),
             QString());
    QVERIFY(engine->restoreBackup());
    // The backup folder's name is the run's own, not necessarily the one it was given.
    const QString backupName = QFileInfo(engine->backupDir()).fileName();
    QCOMPARE(
        FolderSnapshot(appDir, FolderSnapshot::Scope::FilesOnly, backupName).differenceFrom(programBefore),
        QString());
    QCOMPARE(FolderSnapshot(rootDir, FolderSnapshot::Scope::Everything, AppFolderName)
                 .differenceFrom(outsideBefore),
             QString());
}

void PackageExtractionTest::extractionMatchesPackage_data()
{
    QTest::addColumn<Package>("package");
    QTest::addColumn<QString>("tar");
    QTest::addColumn<bool>("withoutLocale");
    QTest::addColumn<QString>("logged"); // the start of the one failed check; empty: installed

    const Package package = Package::NewFileInSubFolder;
    QTest::newRow("tar also writes a file")
        << package << "plant-file" << false << "安装校验失败: planted.txt 不在更新包中，解压前也不存在";
    QTest::newRow("tar also makes a folder")
        << package << "plant-folder" << false << "安装校验失败: planted 不在更新包中，解压前也不存在";
    QTest::newRow("tar also makes a link")
        << package << "plant-link" << false << "安装校验失败: QuillonServer/etc 是链接";
    QTest::newRow("tar also makes a pipe")
        << package << "plant-fifo" << false << "安装校验失败: planted.pipe 是设备、管道或套接字";
    QTest::newRow("a listed file with setuid")
        << package << "plant-setuid" << false << "安装校验失败: app.exe 带有 setuid/setgid 位";
    QTest::newRow("package swapped after its check, sizes and CRC-32s kept")
        << Package::SwappedAfterCheck << "pass" << false
        << "安装校验失败: QuillonServer/QuillonDaemon.exe SHA-256";
    QTest::newRow("non-ASCII name, updater started without a locale")
        << Package::NonAsciiName << "pass" << true << QString();
}

void PackageExtractionTest::extractionMatchesPackage()
{
    QFETCH(Package, package);
    QFETCH(QString, tar);
    QFETCH(bool, withoutLocale);
    QFETCH(QString, logged);
    buildPackage(package);
    qputenv("FAKE_TAR_MODE", tar.toLatin1());
    const QProcessEnvironment saved = QProcessEnvironment::systemEnvironment();
    const QStringList localeVariables{QStringLiteral("LANG"), QStringLiteral("LC_ALL"),
                                      QStringLiteral("LC_CTYPE")};
    const auto restoreLocale = qScopeGuard([&] {
        for (const QString &name : localeVariables)
            saved.contains(name) ? qputenv(qPrintable(name), saved.value(name).toLocal8Bit())
                                 : qunsetenv(qPrintable(name));
        std::setlocale(LC_ALL, "");
    });
    if (withoutLocale) {
        for (const QString &name : localeVariables)
            qunsetenv(qPrintable(name));
        QVERIFY(std::setlocale(LC_ALL, "C"));
    }
    MessageLog log;

    QCOMPARE(engine->extractUpdatePackage(), logged.isEmpty());

    const QStringList failed = log.startingWith(QStringLiteral("安装校验失败: "));
    QVERIFY2(logged.isEmpty() ? failed.isEmpty() : failed.size() == 1 && failed.first().startsWith(logged),
             qPrintable(failed.join('\n')));
    if (logged.isEmpty())
        QCOMPARE(readText(app(QStringLiteral("docs/读我.txt"))), QStringLiteral("读我"));
}

void PackageExtractionTest::manifestPackage_data()
{
    QTest::addColumn<bool>("delta");
    QTest::addColumn<QString>("tar");
    QTest::addColumn<bool>("baseModified");
    QTest::addColumn<QString>("logged"); // the start of the one failed check; empty: installed

    QTest::newRow("full package: the obsolete DLL removed, the manifest not left")
        << false << "pass" << false << QString();
    QTest::newRow("delta: the same folder as the full package") << true << "pass" << false << QString();
    QTest::newRow("delta, a file it does not carry cut short after the extraction: restored")
        << true << "plant-short" << false << "安装校验失败: base.dll 大小 1，应为 4";
    QTest::newRow("delta over a changed base: refused before any tool runs")
        << true << "pass" << true << "增量更新包与已安装的程序不符，第一个不同的文件: lib/keep.dll";
}

// Packages made by farlink-pack from the folders of 1.0 and 2.0; after an installation the program folder is
// the folder of 2.0, byte for byte, with the product's own config.ini.
void PackageExtractionTest::manifestPackage()
{
    QFETCH(bool, delta);
    QFETCH(QString, tar);
    QFETCH(bool, baseModified);
    QFETCH(QString, logged);
    const Files kept{
        {"QuillonServer/QuillonDaemon.exe", "old daemon"}, {"lib/keep.dll", "keep"}, {"base.dll", "base"}};
    const QString older = scratch->filePath(QStringLiteral("1.0"));
    const QString newer = scratch->filePath(QStringLiteral("2.0"));
    writeFiles(older, kept);
    writeFiles(older, {{"app.exe", "old program"}, {"lib/old.dll", "obsolete"}});
    writeFiles(newer, kept);
    writeFiles(newer, {{"app.exe", "new program"}, {"new.dll", randomBytes(3000, 3)}});
    QVERIFY(QFile::copy(app(QStringLiteral("config.ini")), newer + QStringLiteral("/config.ini")));
    writeFiles(appDir, {{"lib/keep.dll", baseModified ? "KEEP" : "keep"},
                        {"base.dll", "base"},
                        {"lib/old.dll", "obsolete"}});
    const QStringList source = delta ? QStringList{"delta", older, newer, "--base-version", "1.0"}
                                     : QStringList{"full", newer, "--remove", "lib/old.dll"};
    const ProcessRun packed = runProcess(QStringLiteral(FARLINK_PACK_PATH),
                                         source + QStringList{"--version", "2.0", "-o", engine->zipPath});
    QVERIFY2(packed.succeeded(), packed.errors.constData());
    engine->newVersion = QStringLiteral("2.0");
    engine->configPath = app(QStringLiteral("config.ini"));
    QVERIFY(engine->createBackup());
    const QString backupName = QFileInfo(engine->backupDir()).fileName();
    const FolderSnapshot before(appDir, FolderSnapshot::Scope::FilesOnly, backupName);
    qputenv("FAKE_TAR_MODE", tar.toLatin1());
    MessageLog log;

    QCOMPARE(engine->extractUpdatePackage(), logged.isEmpty());

    if (logged.isEmpty()) {
        QCOMPARE(FolderSnapshot(appDir, FolderSnapshot::Scope::FilesOnly, backupName)
                     .differenceFrom(FolderSnapshot(newer, FolderSnapshot::Scope::FilesOnly)),
                 QString());
        return;
    }
    QVERIFY2(log.startingWith(logged).size() == 1, qPrintable(log.lines().join('\n')));
    // Refused before the tools ran: nothing was touched. Otherwise the restore brings back 1.0 whole, the
    // DLL that 2.0 no longer has included.
    QCOMPARE(QFileInfo::exists(tarRecord(QStringLiteral("args"))), !baseModified);
    if (!baseModified)
        QVERIFY(engine->restoreBackup());
    QCOMPARE(FolderSnapshot(appDir, FolderSnapshot::Scope::FilesOnly, backupName).differenceFrom(before),
             QString());
}

QTEST_GUILESS_MAIN(PackageExtractionTest)
#include "tst_packageextraction.moc"
