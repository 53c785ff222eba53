#include "Platform.h"
#include "ProcessRun.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace {

const char *const kProbe = FARLINK_POSIX_PLATFORM_PROBE;
const char *const kEnvironmentTool = "/usr/bin/env";
const char *const kCopyReportVariable = "FARLINK_COPY_REPORT";

// What the copy started through the fake pkexec received.
struct CopyReport
{
    QString executable;
    QStringList arguments;
    QStringList environment;
};

// Runs the probe, through the wrapper program and its arguments when one is given.
ProcessRun runProbe(const QStringList &arguments, const QProcessEnvironment &environment,
                    const QStringList &wrapper = {}, const QString &workingDirectory = {})
{
    const QStringList command = wrapper + QStringList{QString::fromLocal8Bit(kProbe)} + arguments;
    return runProcess(command.first(), command.mid(1), environment, workingDirectory);
}

QProcessEnvironment environmentWithPath(const QString &path)
{
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), path);
    return environment;
}

const QFile::Permissions kExecutable =
    QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther;
const QFile::Permissions kNotExecutable = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther;

void writeProgram(const QString &path, const QByteArray &content,
                  QFile::Permissions permissions = kExecutable)
{
    writeFile(path, content);
    QVERIFY(QFile::setPermissions(path, permissions));
}

// Records its arguments, then does what the real pkexec does to the environment (wipes it) before running
// the program, adding only the marker that makes the probe report instead of acting.
QByteArray fakeElevationTool(const QString &recordPath, const QString &reportPath)
{
    return QStringLiteral("#!/bin/sh\n"
                          "printf '%s\\0' \"$@\" > '%1.part' && /bin/mv '%1.part' '%1'\n"
                          "exec /usr/bin/env -i %3='%2' \"$@\"\n")
        .arg(recordPath, reportPath, QString::fromLatin1(kCopyReportVariable))
        .toUtf8();
}

QList<QByteArray> readItems(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> items = file.readAll().split('\0');
    items.removeLast();
    return items;
}

QStringList decodeAll(const QList<QByteArray> &items)
{
    QStringList decoded;
    for (const QByteArray &item : items)
        decoded << QString::fromUtf8(item);
    return decoded;
}

CopyReport readCopyReport(const QString &path)
{
    const QList<QByteArray> items = readItems(path);
    CopyReport report;
    if (items.size() < 2)
        return report;
    const int argumentCount = items.at(1).toInt();
    report.executable = QString::fromUtf8(items.at(0));
    report.arguments = decodeAll(items.mid(2, argumentCount));
    report.environment = decodeAll(items.mid(2 + argumentCount));
    report.environment.sort();
    return report;
}

// A folder holding a fake pkexec, with the paths of what it and the copy it starts write.
class FakeElevation final
{
public:
    FakeElevation()
        : recordPath(directory.filePath(QStringLiteral("pkexec-arguments"))),
          reportPath(directory.filePath(QStringLiteral("copy-report")))
    {
    }
    Q_DISABLE_COPY_MOVE(FakeElevation)

    void install() const
    {
        writeProgram(directory.filePath(QStringLiteral("pkexec")), fakeElevationTool(recordPath, reportPath));
    }
    QString path() const { return directory.path(); }

    QTemporaryDir directory;
    const QString recordPath;
    const QString reportPath;
};

} // namespace

class TestPlatformPosix final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void programDataRoot_data();
    void programDataRoot();
    void systemFolders_data();
    void systemFolders();
    void administrator_data();
    void administrator();
    void relaunchHandsOnArgumentsAndEnvironment_data();
    void relaunchHandsOnArgumentsAndEnvironment();
    void relaunchLooksUpElevationTool_data();
    void relaunchLooksUpElevationTool();
    void relaunchDoesNotWaitForElevationTool();
    void processEndsAtOnceWithExitCode_data();
    void processEndsAtOnceWithExitCode();
};

void TestPlatformPosix::initTestCase()
{
    // Arguments travel as bytes; make QProcess encode them as UTF-8 whatever the test's locale is.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    QVERIFY2(QFileInfo(QString::fromLocal8Bit(kProbe)).isExecutable(), kProbe);
}

void TestPlatformPosix::programDataRoot_data()
{
    QTest::addColumn<bool>("isSet");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("expected");

    QTest::newRow("set") << true << QByteArray("/srv/farlink data") << "/srv/farlink data";
    QTest::newRow("set with trailing slashes") << true << QByteArray("/srv/data//") << "/srv/data";
    QTest::newRow("file-system root") << true << QByteArray("/") << "/";
    QTest::newRow("empty") << true << QByteArray() << "/var/tmp";
    QTest::newRow("unset") << false << QByteArray() << "/var/tmp";
}

void TestPlatformPosix::programDataRoot()
{
    QFETCH(bool, isSet);
    QFETCH(QByteArray, value);
    QFETCH(QString, expected);

    const QByteArray saved = qgetenv("PROGRAMDATA");
    const bool wasSet = qEnvironmentVariableIsSet("PROGRAMDATA");
    const auto restore = qScopeGuard([&] {
        if (wasSet)
            qputenv("PROGRAMDATA", saved);
        else
            qunsetenv("PROGRAMDATA");
    });
    if (isSet)
        qputenv("PROGRAMDATA", value);
    else
        qunsetenv("PROGRAMDATA");

    QCOMPARE(QString::fromStdString(platform::programDataRoot()), expected);
}

void TestPlatformPosix::systemFolders_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("refused");

    const QString programData = QFileInfo(qEnvironmentVariable("PROGRAMDATA")).canonicalFilePath();
    QTest::newRow("root") << "/" << true;
    QTest::newRow("/usr") << "/usr" << true;
    QTest::newRow("/usr/bin") << "/usr/bin" << true;
    QTest::newRow("/usr/local/quillon") << "/usr/local/quillon" << false;
    QTest::newRow("/bin") << "/bin" << true;
    QTest::newRow("/sbin/x") << "/sbin/x" << true;
    QTest::newRow("/lib") << "/lib" << true;
    QTest::newRow("/lib64/x") << "/lib64/x" << true;
    QTest::newRow("/libx32/a/b") << "/libx32/a/b" << false;
    QTest::newRow("/etc/quillon") << "/etc/quillon" << true;
    QTest::newRow("/boot/efi") << "/boot/efi" << true;
    QTest::newRow("/var/tmp") << "/var/tmp" << true;
    QTest::newRow("/var/lib/quillon") << "/var/lib/quillon" << false;
    QTest::newRow("/opt") << "/opt" << false;
    QTest::newRow("/opt/quillon") << "/opt/quillon" << false;
    QTest::newRow("/usrlocal, not /usr") << "/usrlocal" << false;
    QTest::newRow("program-data root") << programData << true;
    QTest::newRow("inside the program-data root") << programData + "/Quillon" << false;
}

void TestPlatformPosix::systemFolders()
{
    QFETCH(QString, folder);
    QFETCH(bool, refused);
    QCOMPARE(platform::isSystemFolder(folder.toStdString()), refused);
}

void TestPlatformPosix::administrator_data()
{
    QTest::addColumn<QStringList>("identity");
    QTest::addColumn<QByteArray>("expected");

    const QStringList nobody{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                             QStringLiteral("--clear-groups")};
    QTest::newRow("root") << QStringList() << QByteArray("administrator\n");
    QTest::newRow("unprivileged user") << nobody << QByteArray("not administrator\n");
    QTest::newRow("effective root, real user nobody")
        << QStringList{QStringLiteral("--ruid=65534")} << QByteArray("administrator\n");
    QTest::newRow("effective user nobody, real root")
        << QStringList{QStringLiteral("--euid=65534")} << QByteArray("not administrator\n");
}

void TestPlatformPosix::administrator()
{
    QFETCH(QStringList, identity);
    QFETCH(QByteArray, expected);
    if (geteuid() != 0)
        QSKIP("changing the user id needs root");

    QStringList wrapper;
    if (!identity.isEmpty()) {
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        QVERIFY2(!setpriv.isEmpty(), "setpriv (util-linux) is needed to run the probe as another user");
        wrapper = QStringList{setpriv} + identity;
    }
    const ProcessRun run =
        runProbe({QStringLiteral("admin")}, QProcessEnvironment::systemEnvironment(), wrapper);
    QVERIFY2(run.succeeded(), run.errors.constData());
    QCOMPARE(run.output, expected);
}

void TestPlatformPosix::relaunchHandsOnArgumentsAndEnvironment_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("callerEnvironment");
    QTest::addColumn<QStringList>("copyEnvironment");

    // Every argument arrives unchanged.
    const QStringList none;
    QTest::newRow("none") << none << none << none;
    QTest::newRow("options") << QStringList{"-i", "/tmp/info.json", "-m", "manual"} << none << none;
    QTest::newRow("spaces") << QStringList{"-i", "/tmp/update info/new  version.json", " lead", "trail "}
                            << none << none;
    QTest::newRow("quotes and backslashes")
        << QStringList{"a\"b", "C:\\dir\\", "'single'", "\\\\", "\"", "\\\""} << none << none;
    QTest::newRow("empty arguments") << QStringList{"", "-m", ""} << none << none;
    QTest::newRow("non-Latin text") << QStringList{"更新说明", "Grüße", "-i", "/tmp/升级/信息.json"} << none
                                    << none;
    QTest::newRow("looks like an assignment") << QStringList{"PROGRAMDATA=/elsewhere", "X="} << none << none;
    QTest::newRow("line break and tab") << QStringList{"line\nbreak", "tab\there"} << none << none;
    QTest::newRow("shell characters") << QStringList{"$HOME", "`id`", "*", "a;b", "--"} << none << none;

    // Only the display and the folders travel with them.
    const QStringList options{"-i", "x"};
    const QStringList forwarded{"DISPLAY=:7",
                                "PROGRAMDATA=/srv/program data",
                                "QT_QPA_PLATFORM=offscreen",
                                "TMPDIR=/srv/tmp",
                                "WAYLAND_DISPLAY=wayland-1",
                                "XAUTHORITY=/home/u/.Xauthority",
                                "XDG_RUNTIME_DIR=/run/user/1000"};
    const QStringList private_{"HOME=/home/u", "LD_LIBRARY_PATH=/opt/evil", "QT_PLUGIN_PATH=/opt/evil",
                               "LANG=de_DE.UTF-8"};
    QTest::newRow("all set, private ones dropped") << options << forwarded + private_ << forwarded;
    QTest::newRow("none set") << options << private_ << none;
    QTest::newRow("X11 only") << options << QStringList{"DISPLAY=:0", "XAUTHORITY=/tmp/x auth", "TMPDIR=/tmp"}
                              << QStringList{"DISPLAY=:0", "TMPDIR=/tmp", "XAUTHORITY=/tmp/x auth"};
    QTest::newRow("set but empty") << options << QStringList{"DISPLAY=", "PROGRAMDATA="}
                                   << QStringList{"DISPLAY=", "PROGRAMDATA="};
    QTest::newRow("values with '=' and spaces")
        << options << QStringList{"TMPDIR=/tmp/a=b c", "PROGRAMDATA= x=y "}
        << QStringList{"PROGRAMDATA= x=y ", "TMPDIR=/tmp/a=b c"};
}

void TestPlatformPosix::relaunchHandsOnArgumentsAndEnvironment()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, callerEnvironment);
    QFETCH(QStringList, copyEnvironment);
    FakeElevation fake;
    fake.install();

    QProcessEnvironment environment = environmentWithPath(fake.path());
    for (const QString &entry : callerEnvironment) {
        const int separator = entry.indexOf(QLatin1Char('='));
        environment.insert(entry.left(separator), entry.mid(separator + 1));
    }
    const QStringList sent = QStringList{QStringLiteral("relaunch")} + arguments;
    const ProcessRun run = runProbe(sent, environment);
    QVERIFY2(run.finished && run.exitCode == 0, (run.output + run.errors).constData());

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(fake.reportPath), ProcessRunLimitMs);
    const QList<QByteArray> record = readItems(fake.recordPath);
    QVERIFY(!record.isEmpty());
    QCOMPARE(record.first(), QByteArray(kEnvironmentTool));
    const CopyReport copy = readCopyReport(fake.reportPath);
    QCOMPARE(copy.executable, QFileInfo(QString::fromLocal8Bit(kProbe)).canonicalFilePath());
    QCOMPARE(copy.arguments, sent);
    QStringList expected = copyEnvironment;
    expected << QString::fromLatin1(kCopyReportVariable) + QLatin1Char('=') + fake.reportPath;
    expected.sort();
    QCOMPARE(copy.environment, expected);
}

void TestPlatformPosix::relaunchLooksUpElevationTool_data()
{
    QTest::addColumn<QString>("earlier");
    QTest::addColumn<bool>("working");
    QTest::addColumn<QByteArray>("refusal");

    const QByteArray notFound("pkexec not found on PATH");
    const QByteArray notStarted("could not start");
    QTest::newRow("no pkexec on PATH") << QString() << false << notFound;
    QTest::newRow("only a non-executable pkexec") << "not executable" << false << notFound;
    QTest::newRow("only a folder named pkexec") << "folder" << false << notFound;
    QTest::newRow("pkexec is no program") << "not a program" << false << notStarted;
    QTest::newRow("pkexec interpreter missing") << "missing interpreter" << false << notStarted;
    QTest::newRow("non-executable pkexec first") << "not executable" << true << QByteArray();
    QTest::newRow("folder named pkexec first") << "folder" << true << QByteArray();
    QTest::newRow("empty entry is the current folder") << "current folder" << true << QByteArray();
}

// PATH holds a folder with the row's "earlier" pkexec, then (when "working") one with the fake that works.
void TestPlatformPosix::relaunchLooksUpElevationTool()
{
    QFETCH(QString, earlier);
    QFETCH(bool, working);
    QFETCH(QByteArray, refusal);
    FakeElevation fake;
    if (working)
        fake.install();
    QTemporaryDir earlierFolder;
    const QString earlierPath = earlierFolder.filePath(QStringLiteral("pkexec"));
    if (earlier == QLatin1String("not executable"))
        writeProgram(earlierPath, "#!/bin/sh\nexit 0\n", kNotExecutable);
    if (earlier == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(earlierPath));
    if (earlier == QLatin1String("not a program"))
        writeProgram(earlierPath, "\x01\x02 no program");
    if (earlier == QLatin1String("missing interpreter"))
        writeProgram(earlierPath, "#!/nonexistent/sh\n");

    const bool fromCurrentFolder = earlier == QLatin1String("current folder");
    const QString path = earlierFolder.path() + (fromCurrentFolder ? QStringLiteral("::/nonexistent")
                                                                   : QLatin1Char(':') + fake.path());
    const ProcessRun run = runProbe({QStringLiteral("relaunch")}, environmentWithPath(path), {},
                                    fromCurrentFolder ? fake.path() : QString());
    QVERIFY(run.finished);
    if (refusal.isEmpty()) {
        QVERIFY2(run.exitCode == 0, (run.output + run.errors).constData());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(fake.reportPath), ProcessRunLimitMs);
    } else {
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.errors.contains(refusal), run.errors.constData());
    }
}

void TestPlatformPosix::relaunchDoesNotWaitForElevationTool()
{
    QTemporaryDir directory;
    const QString pidPath = directory.filePath(QStringLiteral("pid"));
    writeProgram(
        directory.filePath(QStringLiteral("pkexec")),
        QStringLiteral("#!/bin/sh\necho $$ > '%1.part' && /bin/mv '%1.part' '%1'\nexec /bin/sleep 120\n")
            .arg(pidPath)
            .toUtf8());
    pid_t sleeper = 0;
    const auto endSleeper = qScopeGuard([&] {
        if (sleeper > 0)
            kill(sleeper, SIGKILL);
    });

    const ProcessRun run = runProbe({QStringLiteral("relaunch")}, environmentWithPath(directory.path()));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(pidPath), ProcessRunLimitMs);
    sleeper = readFile(pidPath).trimmed().toInt();
    QVERIFY(sleeper > 0);
    QVERIFY2(run.finished, "the relaunch waited for pkexec to end");
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(kill(sleeper, 0), 0);
}

void TestPlatformPosix::processEndsAtOnceWithExitCode_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("exitCode");

    for (const char *how : {"terminate", "exit"}) {
        for (int exitCode : {0, 1, 42, 255})
            QTest::addRow("%s %d", how, exitCode) << QString::fromLatin1(how) << exitCode;
    }
}

void TestPlatformPosix::processEndsAtOnceWithExitCode()
{
    QFETCH(QString, how);
    QFETCH(int, exitCode);

    const ProcessRun run =
        runProbe({how, QString::number(exitCode)}, QProcessEnvironment::systemEnvironment());
    QVERIFY(run.finished);
    QCOMPARE(run.status, QProcess::NormalExit);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.output, QByteArray("ending\n"));
}

QTEST_GUILESS_MAIN(TestPlatformPosix)
#include "tst_platformposix.moc"
