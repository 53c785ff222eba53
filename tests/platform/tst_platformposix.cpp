#include "FileSafety.h"
#include "Platform.h"
#include "ProcessRun.h"
#include "TestFiles.h"

#include <QDataStream>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

const char *const kProbe = FARLINK_POSIX_PLATFORM_PROBE;
const char *const kEnvironmentTool = "/usr/bin/env";
const char *const kCopyReportVariable = "FARLINK_COPY_REPORT";
const QStringList kAsNobody{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                            QStringLiteral("--clear-groups")};
// Names this long make a few nested folders exceed PATH_MAX.
const int kDeepNameLength = 200;
// Bigger than the copy and compare blocks, so that several of them are needed.
const int kSeveralBlocks = (5 << 20) / 2 + 1;
// The race: exchanges the ordinary user makes (enough that a removal by path loses victim files in every
// run), and files the victim folder holds.
const int kRaceSwaps = 2000;
const int kVictimFiles = 40;

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

// A POSIX access list (the system.posix_acl_access attribute) that lets the user write: the owner rwx, the
// user rwx, the owning group r-x, the mask rwx (which the group bits of the mode then show) and others r-x.
QByteArray accessListLettingWrite(uid_t user)
{
    const quint32 none = ~0u;
    const struct
    {
        quint16 tag;
        quint16 permissions;
        quint32 id;
    } entries[] = {{0x01, 7, none}, {0x02, 7, user}, {0x04, 5, none}, {0x10, 7, none}, {0x20, 5, none}};
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream.setByteOrder(QDataStream::LittleEndian);
    stream << quint32(2);
    for (const auto &entry : entries)
        stream << entry.tag << entry.permissions << entry.id;
    return bytes;
}

// Folders nested so deep, with a file at the bottom, that their full path is longer than PATH_MAX.
bool makeDeepFolders(const QByteArray &path, int levels)
{
    const std::string name(kDeepNameLength, 'd');
    int folder = mkdir(path.constData(), 0755) == 0 ? open(path.constData(), O_RDONLY | O_DIRECTORY) : -1;
    for (int level = 0; level < levels && folder >= 0; ++level) {
        const int next = mkdirat(folder, name.c_str(), 0755) == 0
                             ? openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY)
                             : -1;
        close(folder);
        folder = next;
    }
    const int file = folder >= 0 ? openat(folder, "f", O_WRONLY | O_CREAT | O_EXCL, 0644) : -1;
    if (folder >= 0)
        close(folder);
    return file >= 0 && close(file) == 0;
}

bool setOwnerAndMode(const QByteArray &path, const QString &owner, const QString &mode)
{
    if (!owner.isEmpty()) {
        const QStringList ids = owner.split(QLatin1Char(':'));
        if (lchown(path.constData(), ids.at(0).toUInt(), ids.value(1, ids.at(0)).toUInt()) != 0)
            return false;
    }
    return mode.isEmpty() || chmod(path.constData(), mode.toUInt(nullptr, 8)) == 0;
}

// Puts what a row describes under the base folder, one item per entry, paths relative to the base. Items
// are root's unless an owner "uid[:gid]" is given; the mode is set after the owner, whatever the umask:
//   "folder <path> [mode] [owner]" (0755), "file <path> [mode] [owner]" (0644, holding its own path)
//   "big <path> <bytes>", "link <path> <target> [owner]", "hardlink <path> <existing>", "fifo <path>"
//   "deep <path> <levels>": nested past PATH_MAX; "listed <path> <uid>": an access list lets the user write
void makeLayout(const QString &base, const QStringList &layout)
{
    for (const QString &item : layout) {
        const QStringList word = item.split(QLatin1Char(' '));
        const QString &kind = word.at(0);
        const QByteArray path = QFile::encodeName(base + QLatin1Char('/') + word.at(1));
        const QString argument = word.value(2);
        QString mode;
        errno = 0;
        bool made = true;
        if (kind == QLatin1String("folder")) {
            made = mkdir(path.constData(), 0700) == 0;
            mode = argument.isEmpty() ? QStringLiteral("755") : argument;
        } else if (kind == QLatin1String("file") || kind == QLatin1String("big")) {
            const bool big = kind == QLatin1String("big");
            writeFile(QFile::decodeName(path), big ? randomBytes(argument.toInt(), 1) : word.at(1).toUtf8());
            mode = big || argument.isEmpty() ? QStringLiteral("644") : argument;
        } else if (kind == QLatin1String("link")) {
            made = symlink(QFile::encodeName(argument).constData(), path.constData()) == 0;
        } else if (kind == QLatin1String("hardlink")) {
            made = link(QFile::encodeName(base + QLatin1Char('/') + argument).constData(),
                        path.constData()) == 0;
        } else if (kind == QLatin1String("fifo")) {
            made = mkfifo(path.constData(), 0644) == 0;
        } else if (kind == QLatin1String("deep")) {
            made = makeDeepFolders(path, argument.toInt());
        } else if (kind == QLatin1String("listed")) {
            const QByteArray list = accessListLettingWrite(argument.toUInt());
            made = setxattr(path.constData(), "system.posix_acl_access", list.constData(),
                            static_cast<size_t>(list.size()), 0) == 0;
        } else {
            QFAIL(qPrintable(QStringLiteral("unknown layout item: ") + item));
        }
        made = made && setOwnerAndMode(path, word.value(3), mode);
        QVERIFY2(made,
                 qPrintable(item + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno))));
    }
}

struct stat statusOf(const QString &path)
{
    struct stat status = {};
    if (lstat(QFile::encodeName(path).constData(), &status) != 0)
        status.st_mode = 0;
    return status;
}

// Every entry under the folder, links not followed, with its type, mode and size: what an operation that
// failed must leave as it was.
QStringList listTree(const QString &folder)
{
    QStringList entries;
    QDirIterator walk(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                      QDirIterator::Subdirectories);
    while (walk.hasNext()) {
        const QString path = walk.next();
        const struct stat status = statusOf(path);
        entries << QStringLiteral("%1 %2 %3")
                       .arg(path.mid(folder.size() + 1), QString::number(status.st_mode, 8))
                       .arg(status.st_size);
    }
    entries.sort();
    return entries;
}

QByteArray linkContent(const QString &path)
{
    char content[PATH_MAX];
    const ssize_t length = readlink(QFile::encodeName(path).constData(), content, sizeof content);
    return length < 0 ? QByteArray("<no link>") : QByteArray(content, int(length));
}

void verifyEntries(const QString &base, const QStringList &kept, const QStringList &gone)
{
    for (const QString &path : kept)
        QVERIFY2(entryExists(base + QLatin1Char('/') + path),
                 qPrintable(path + QStringLiteral(" was removed")));
    for (const QString &path : gone)
        QVERIFY2(!entryExists(base + QLatin1Char('/') + path), qPrintable(path + QStringLiteral(" is left")));
}

// The tree the ordinary user races on: its own folder holding a sub-folder with the victim's file names
// and a link to the victim, which it exchanges. Built while still root's, so that nothing written here can
// go through an exchanged name; handed to the user last.
void buildRacedTree(const QString &tree, const QString &victim)
{
    const QByteArray treePath = QFile::encodeName(tree);
    if (mkdir(treePath.constData(), 0755) != 0)
        return; // what a raced removal left is removed again
    QVERIFY(mkdir(QFile::encodeName(tree + QStringLiteral("/sub")).constData(), 0755) == 0);
    for (int index = 0; index < kVictimFiles; ++index)
        writeFile(tree + QStringLiteral("/sub/f%1").arg(index), "the user's");
    QVERIFY(symlink(QFile::encodeName(victim).constData(),
                    QFile::encodeName(tree + QStringLiteral("/decoy")).constData()) == 0);
    QVERIFY(chown(treePath.constData(), 65534, 65534) == 0);
}

using TrustCheck = std::string (*)(const std::string &);

TrustCheck trustCheckNamed(const QString &name)
{
    static const std::map<QString, TrustCheck> checks{
        {QStringLiteral("path"), &platform::whyPathUntrusted},
        {QStringLiteral("program"), &platform::whyProgramFolderUntrusted},
        {QStringLiteral("private"), &platform::whyPrivateFolderUntrusted},
        {QStringLiteral("file"), &platform::whyFileUntrusted},
        {QStringLiteral("prepare"), &platform::preparePrivateFolder}};
    return checks.at(name);
}

// Waits until the watched program has ended (it is then reaped) and gives how it ended.
platform::ProgramEnd waitForEnd(std::int64_t id)
{
    platform::ProgramEnd end;
    static_cast<void>(
        QTest::qWaitFor([&] { return !(end = platform::watchedProgramEnd(id)).running; }, ProcessRunLimitMs));
    return end;
}

// Ends a watched program that still runs and reaps it.
void endWatched(std::int64_t id)
{
    if (id > 0 && platform::watchedProgramEnd(id).running) {
        kill(static_cast<pid_t>(id), SIGKILL);
        waitForEnd(id);
    }
}

// The state letter of /proc/<pid>/stat ('Z' for an ended process nobody has reaped), '?' when gone.
char processState(qint64 pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int nameEnd = stat.lastIndexOf(')');
    return nameEnd > 0 && stat.size() > nameEnd + 2 ? stat.at(nameEnd + 2) : '?';
}

} // namespace

Q_DECLARE_METATYPE(platform::EntryType)
Q_DECLARE_METATYPE(platform::FolderCreation)

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
    void watchedProgramEnd_data();
    void watchedProgramEnd();
    void watchedProgramOutlivesItsStarter();
    void executableRunning_data();
    void executableRunning();
    void trustChecks_data();
    void trustChecks();
    void entryStatusOf_data();
    void entryStatusOf();
    void removeTree_data();
    void removeTree();
    void removeTreeKeepsVictimWhileLinksAreSwappedIn();
    void createFolder_data();
    void createFolder();
    void copyFile_data();
    void copyFile();
    void copyFilesBetween_data();
    void copyFilesBetween();
    void copyLink_data();
    void copyLink();
    void sameContents_data();
    void sameContents();
    void createNewFile_data();
    void createNewFile();
    void replaceFile_data();
    void replaceFile();
    void removeCallersEntry_data();
    void removeCallersEntry();
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

    QTest::newRow("root") << QStringList() << QByteArray("administrator\n");
    QTest::newRow("unprivileged user") << kAsNobody << QByteArray("not administrator\n");
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

void TestPlatformPosix::watchedProgramEnd_data()
{
    QTest::addColumn<QString>("program"); // relative to a scratch folder that holds the file "marker"
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("started");
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("crashed");
    QTest::addColumn<qint64>("exitCode");

    const QString shell = QStringLiteral("/bin/sh");
    QTest::newRow("exits with 0") << shell << QStringList{"-c", "exit 0"} << true << false << false << 0ll;
    QTest::newRow("exits with 3") << shell << QStringList{"-c", "exit 3"} << true << false << false << 3ll;
    QTest::newRow("exits with 255") << shell << QStringList{"-c", "exit 255"} << true << false << false
                                    << 255ll;
    QTest::newRow("runs in the given folder")
        << shell << QStringList{"-c", "test -f marker"} << true << false << false << 0ll;
    QTest::newRow("killed by SIGSEGV")
        << shell << QStringList{"-c", "kill -SEGV $$"} << true << false << true << qint64(SIGSEGV);
    QTest::newRow("still running") << QStringLiteral("/bin/sleep") << QStringList{"60"} << true << true
                                   << false << 0ll;
    // Never started: the id 0 reads as one this process did not start.
    QTest::newRow("no such program") << QStringLiteral("/nonexistent/program") << QStringList() << false
                                     << false << true << -1ll;
    QTest::newRow("not executable") << QStringLiteral("marker") << QStringList() << false << false << true
                                    << -1ll;
}

void TestPlatformPosix::watchedProgramEnd()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(bool, started);
    QFETCH(bool, running);
    QFETCH(bool, crashed);
    QFETCH(qint64, exitCode);

    QTemporaryDir folder;
    writeFile(folder.filePath(QStringLiteral("marker")), "not a program");
    std::vector<std::string> words;
    for (const QString &argument : arguments)
        words.push_back(argument.toStdString());
    const std::int64_t id = platform::startWatchedProgram(
        QDir(folder.path()).absoluteFilePath(program).toStdString(), words, folder.path().toStdString());
    const auto cleanup = qScopeGuard([&] { endWatched(id); });
    QCOMPARE(id > 0, started);

    const platform::ProgramEnd end = running ? platform::watchedProgramEnd(id) : waitForEnd(id);
    QCOMPARE(end.running, running);
    QCOMPARE(end.crashed, crashed);
    QCOMPARE(end.exitCode, exitCode);
    // Once ended, and reaped, the same answer comes again.
    const platform::ProgramEnd again = platform::watchedProgramEnd(id);
    QCOMPARE(again.running, end.running);
    QCOMPARE(again.crashed, end.crashed);
    QCOMPARE(again.exitCode, end.exitCode);
    if (running) {
        kill(static_cast<pid_t>(id), SIGKILL);
        const platform::ProgramEnd killed = waitForEnd(id);
        QVERIFY(killed.crashed);
        QCOMPARE(killed.exitCode, qint64(SIGKILL));
    }
}

// The updater that starts the product ends long before it; the product must not go with it, nor hold on to
// anything of the updater's.
void TestPlatformPosix::watchedProgramOutlivesItsStarter()
{
    QTemporaryDir folder;
    const ProcessRun run =
        runProbe({QStringLiteral("watch"), folder.path(), QStringLiteral("/bin/sleep"), QStringLiteral("60")},
                 QProcessEnvironment::systemEnvironment());
    const qint64 pid = run.output.trimmed().toLongLong();
    const auto cleanup = qScopeGuard([&] {
        if (pid > 0)
            kill(static_cast<pid_t>(pid), SIGKILL);
    });
    QVERIFY2(run.succeeded(), run.errors.constData());
    QVERIFY(pid > 0);

    const char state = processState(pid);
    QVERIFY2(state != 'Z' && state != '?', "the program ended with its starter");
    QCOMPARE(getsid(static_cast<pid_t>(pid)), static_cast<pid_t>(pid));
    const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(pid));
    const QString folderPath = QFileInfo(folder.path()).canonicalFilePath();
    for (const char *stream : {"0", "1", "2"})
        QCOMPARE(QFile::symLinkTarget(descriptors.filePath(QString::fromLatin1(stream))),
                 QStringLiteral("/dev/null"));
    // The probe holds the folder open without close-on-exec. Only that one is checked: the program's loader
    // opens and closes files of its own while it starts.
    for (const QString &descriptor :
         descriptors.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System))
        QVERIFY2(QFile::symLinkTarget(descriptors.filePath(descriptor)) != folderPath,
                 qPrintable(descriptor));
    QCOMPARE(QFile::symLinkTarget(QStringLiteral("/proc/%1/cwd").arg(pid)), folderPath);
}

void TestPlatformPosix::executableRunning_data()
{
    // How bin/copy was run: not at all, "running", "ended" (not yet reaped), "reaped", or by the caller.
    QTest::addColumn<QString>("run");
    QTest::addColumn<QString>("asked"); // relative to the scratch folder
    QTest::addColumn<bool>("expected");

    QTest::newRow("running copy") << "running"
                                  << "bin/copy" << true;
    QTest::newRow("running copy, through a linked folder") << "running"
                                                           << "link/copy" << true;
    QTest::newRow("running copy, with dot-dot") << "running"
                                                << "bin/../bin/copy" << true;
    QTest::newRow("same bytes at another path") << "running"
                                                << "bin/other" << false;
    QTest::newRow("folder of the running copy") << "running"
                                                << "bin" << false;
    QTest::newRow("missing path") << "running"
                                  << "bin/missing" << false;
    QTest::newRow("ended, not yet reaped") << "ended"
                                           << "bin/copy" << false;
    QTest::newRow("ended and reaped") << "reaped"
                                      << "bin/copy" << false;
    QTest::newRow("never started") << QString() << "bin/copy" << false;
    QTest::newRow("run only by the caller") << "caller"
                                            << "bin/copy" << false;
}

void TestPlatformPosix::executableRunning()
{
    QFETCH(QString, run);
    QFETCH(QString, asked);
    QFETCH(bool, expected);

    QTemporaryDir scratch;
    const QDir folder(scratch.path());
    QVERIFY(folder.mkdir(QStringLiteral("bin")));
    QVERIFY(QFile::link(folder.filePath(QStringLiteral("bin")), folder.filePath(QStringLiteral("link"))));
    const QString copy = folder.filePath(QStringLiteral("bin/copy"));
    const bool byCaller = run == QLatin1String("caller");
    const QString program = byCaller ? QString::fromLocal8Bit(kProbe) : QStringLiteral("/bin/sleep");
    for (const QString &name : {copy, folder.filePath(QStringLiteral("bin/other"))})
        QVERIFY(QFile::copy(program, name));

    if (byCaller) {
        const ProcessRun probe = runProcess(copy, {QStringLiteral("running"), folder.filePath(asked)});
        QVERIFY2(probe.succeeded(), probe.errors.constData());
        QCOMPARE(probe.output == "running\n", expected);
        return;
    }
    std::int64_t id = 0;
    const auto cleanup = qScopeGuard([&] { endWatched(id); });
    if (!run.isEmpty()) {
        const std::string seconds = run == QLatin1String("running") ? "60" : "0";
        id = platform::startWatchedProgram(copy.toStdString(), {seconds}, scratch.path().toStdString());
        QVERIFY(id > 0);
    }
    if (run == QLatin1String("ended"))
        QVERIFY(QTest::qWaitFor([&] { return processState(id) == 'Z'; }, ProcessRunLimitMs));
    if (run == QLatin1String("reaped"))
        QVERIFY(!waitForEnd(id).running);

    QCOMPARE(platform::isExecutableRunning(folder.filePath(asked).toStdString()), expected);
}

void TestPlatformPosix::trustChecks_data()
{
    QTest::addColumn<QString>("check");
    QTest::addColumn<QStringList>("layout");
    QTest::addColumn<QString>("path");
    // The folder or file the reason must name; empty when the check passes.
    QTest::addColumn<QString>("failing");
    const auto row = [](const char *name, const char *check, const QStringList &layout, const char *path,
                        const char *failing) {
        QTest::newRow(name) << QString(check) << layout << QString(path) << QString(failing);
    };

    row("path: root's folders", "path", {"folder a", "folder a/b"}, "a/b", "");
    row("path: owned by nobody", "path", {"folder a 755 65534", "folder a/b"}, "a/b", "a");
    row("path: 0777, not sticky", "path", {"folder a 777", "folder a/b"}, "a/b", "a");
    row("path: 1777, sticky", "path", {"folder a 1777", "folder a/b"}, "a/b", "");
    row("path: sticky, owned by nobody", "path", {"folder a 1777 65534", "folder a/b"}, "a/b", "a");
    row("path: group-writable, group nogroup", "path", {"folder a 775 0:65534", "folder a/b"}, "a/b", "a");
    row("path: group-writable, group root", "path", {"folder a 775 0:0", "folder a/b"}, "a/b", "");
    row("path: root group, an access list lets nobody write", "path",
        {"folder a", "listed a 65534", "folder a/b"}, "a/b", "a");
    row("path: the last folder writable by others", "path", {"folder a", "folder a/b 777"}, "a/b", "a/b");
    row("path: a link as a component", "path", {"folder real", "folder real/b", "link a real"}, "a/b", "a");
    row("path: a link as the folder itself", "path", {"folder real", "link a real"}, "a", "a");
    row("path: a file as a component", "path", {"file a"}, "a/b", "a");
    row("path: missing", "path", {}, "a/b", "a");

    row("program: root's 0755", "program", {"folder p"}, "p", "");
    row("program: 1777", "program", {"folder p 1777"}, "p", "p");
    row("program: group-writable, group root", "program", {"folder p 775 0:0"}, "p", "p");
    row("program: owned by nobody", "program", {"folder p 755 65534"}, "p", "p");
    row("program: a link", "program", {"folder real", "link p real"}, "p", "p");
    row("program: a file", "program", {"file p"}, "p", "p");
    row("program: inside a folder writable by others", "program", {"folder a 777", "folder a/p"}, "a/p", "a");
    row("program: a sub-folder open to users", "program", {"folder p", "folder p/data 777 65534"}, "p", "");

    row("private: 0700", "private", {"folder p 700"}, "p", "");
    row("private: 0750", "private", {"folder p 750"}, "p", "p");
    row("private: 0701", "private", {"folder p 701"}, "p", "p");
    row("private: owned by nobody", "private", {"folder p 700 65534"}, "p", "p");
    row("private: inside a folder writable by others", "private", {"folder a 777", "folder a/p 700"}, "a/p",
        "a");
    row("private: a link", "private", {"folder real 700", "link p real"}, "p", "p");

    row("file: root's 0644", "file", {"file f"}, "f", "");
    row("file: two hard links", "file", {"file f", "hardlink g f"}, "f", "f");
    row("file: owned by nobody", "file", {"file f 644 65534"}, "f", "f");
    row("file: 0666", "file", {"file f 666"}, "f", "f");
    row("file: group-writable, group root", "file", {"file f 664"}, "f", "f");
    row("file: a link", "file", {"file g", "link f g"}, "f", "f");
    row("file: a folder", "file", {"folder f"}, "f", "f");
    row("file: a fifo", "file", {"fifo f"}, "f", "f");
    row("file: behind a link", "file", {"folder real", "file real/f", "link a real"}, "a/f", "a/f");

    row("prepare: missing", "prepare", {}, "p", "");
    row("prepare: 0700", "prepare", {"folder p 700"}, "p", "");
    row("prepare: 0755", "prepare", {"folder p"}, "p", "p");
    row("prepare: a dangling link", "prepare", {"link p nowhere"}, "p", "p");
    row("prepare: inside a folder writable by others", "prepare", {"folder a 777"}, "a/p", "a");
}

void TestPlatformPosix::trustChecks()
{
    QFETCH(QString, check);
    QFETCH(QStringList, layout);
    QFETCH(QString, path);
    QFETCH(QString, failing);
    QTemporaryDir base;
    makeLayout(base.path(), layout);
    if (QTest::currentTestFailed())
        return;
    const QString full = base.filePath(path);
    const QStringList before = listTree(base.path());

    const QString reason = QString::fromStdString(trustCheckNamed(check)(full.toStdString()));
    if (failing.isEmpty()) {
        QVERIFY2(reason.isEmpty(), qPrintable(reason));
        // What was prepared is private from now on.
        if (check == QLatin1String("prepare"))
            QCOMPARE(QString::fromStdString(platform::whyPrivateFolderUntrusted(full.toStdString())),
                     QString());
        return;
    }
    QVERIFY2(reason.contains(base.filePath(failing)), qPrintable(reason));
    if (failing != path)
        QVERIFY2(!reason.contains(full), qPrintable(reason));
    QCOMPARE(listTree(base.path()), before);
}

void TestPlatformPosix::entryStatusOf_data()
{
    QTest::addColumn<QStringList>("layout");
    QTest::addColumn<QString>("path");
    QTest::addColumn<platform::EntryType>("type");
    QTest::addColumn<int>("linkCount"); // checked for files
    QTest::addColumn<bool>("administrators");
    QTest::addColumn<bool>("setId");
    const auto row = [](const char *name, const QStringList &layout, const char *path,
                        platform::EntryType type, int linkCount, bool administrators, bool setId) {
        QTest::newRow(name) << layout << QString(path) << type << linkCount << administrators << setId;
    };

    using Type = platform::EntryType;
    row("file", {"file f"}, "f", Type::File, 1, true, false);
    row("two hard links", {"file f", "hardlink g f"}, "f", Type::File, 2, true, false);
    row("setuid file", {"file f 4755"}, "f", Type::File, 1, true, true);
    row("nobody's file", {"file f 644 65534"}, "f", Type::File, 1, false, false);
    row("setgid folder", {"folder d 2755"}, "d", Type::Folder, 0, true, true);
    row("link", {"file f", "link l f"}, "l", Type::Link, 0, true, false);
    row("dangling link", {"link l nowhere"}, "l", Type::Link, 0, true, false);
    row("behind a link", {"folder real", "file real/f", "link l real"}, "l/f", Type::Link, 0, false, false);
    row("fifo", {"fifo p"}, "p", Type::Other, 0, true, false);
    row("missing", {}, "f", Type::Missing, 0, false, false);
}

void TestPlatformPosix::entryStatusOf()
{
    QFETCH(QStringList, layout);
    QFETCH(QString, path);
    QFETCH(platform::EntryType, type);
    QFETCH(int, linkCount);
    QFETCH(bool, administrators);
    QFETCH(bool, setId);
    QTemporaryDir base;
    makeLayout(base.path(), layout);
    if (QTest::currentTestFailed())
        return;

    const platform::EntryStatus status = platform::entryStatus(base.filePath(path).toStdString());
    QCOMPARE(status.type, type);
    if (type == platform::EntryType::File)
        QCOMPARE(int(status.linkCount), linkCount);
    QCOMPARE(status.ownedByAdministrators, administrators);
    QCOMPARE(status.setIdBits, setId);
}

void TestPlatformPosix::removeTree_data()
{
    QTest::addColumn<QStringList>("layout");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("removed");
    QTest::addColumn<QStringList>("kept");
    const auto row = [](const char *name, const QStringList &layout, const char *path, bool removed,
                        const QStringList &kept) {
        QTest::newRow(name) << layout << QString(path) << removed << kept;
    };

    const QStringList outside{"folder outside", "file outside/f"};
    row("nothing there", {}, "t", true, {});
    row("a file", {"file t"}, "t", true, {});
    row("a tree holding links to an outside folder",
        outside + QStringList{"folder t", "folder t/s", "file t/s/x", "fifo t/s/p",
                              "link t/s/out ../../outside", "link t/f ../outside/f", "link t/root /"},
        "t", true, {"outside/f"});
    row("the path itself a link", outside + QStringList{"link t outside"}, "t", true, {"outside/f"});
    row("a link in a parent component", {"folder real", "folder real/t", "file real/t/x", "link l real"},
        "l/t", false, {"real/t/x", "l"});
    row("a dangling link", {"link t nowhere"}, "t", true, {});
    row("a tree deeper than PATH_MAX", {"deep t 25"}, "t", true, {});
}

void TestPlatformPosix::removeTree()
{
    QFETCH(QStringList, layout);
    QFETCH(QString, path);
    QFETCH(bool, removed);
    QFETCH(QStringList, kept);
    QTemporaryDir base;
    makeLayout(base.path(), layout);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(platform::removeTree(base.filePath(path).toStdString()), removed);
    verifyEntries(base.path(), kept, removed ? QStringList{path} : QStringList());
}

// The ordinary user exchanges its sub-folder with a link to a root-owned folder again and again while root
// removes the user's tree, rebuilt each round: whatever the interleaving, the victim keeps every file.
void TestPlatformPosix::removeTreeKeepsVictimWhileLinksAreSwappedIn()
{
    if (geteuid() != 0)
        QSKIP("the race needs root and another user");
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    QVERIFY2(!setpriv.isEmpty(), "setpriv (util-linux) is needed to run the probe as another user");
    QTemporaryDir base;
    QCOMPARE(chmod(QFile::encodeName(base.path()).constData(), 0755), 0); // the user must reach the tree
    const QString victim = base.filePath(QStringLiteral("victim"));
    const QString tree = base.filePath(QStringLiteral("tree"));
    QStringList victimLayout{QStringLiteral("folder victim")};
    for (int index = 0; index < kVictimFiles; ++index)
        victimLayout << QStringLiteral("file victim/f%1").arg(index);
    makeLayout(base.path(), victimLayout);
    if (QTest::currentTestFailed())
        return;

    QProcess swapper;
    swapper.start(setpriv,
                  kAsNobody + QStringList{QString::fromLocal8Bit(kProbe), QStringLiteral("swap"),
                                          tree + QStringLiteral("/sub"), tree + QStringLiteral("/decoy"),
                                          QString::number(kRaceSwaps)});
    QVERIFY(swapper.waitForStarted());
    while (!swapper.waitForFinished(0)) {
        buildRacedTree(tree, victim);
        if (QTest::currentTestFailed())
            return;
        platform::removeTree(tree.toStdString());
    }
    const QByteArray swaps = swapper.readAll();
    QVERIFY2(swapper.exitStatus() == QProcess::NormalExit && swapper.exitCode() == 0, swaps.constData());
    QVERIFY(platform::removeTree(tree.toStdString()));
    QCOMPARE(listTree(victim).size(), kVictimFiles);
}

void TestPlatformPosix::createFolder_data()
{
    QTest::addColumn<QStringList>("layout");
    QTest::addColumn<QString>("path");
    QTest::addColumn<platform::FolderCreation>("result");
    const auto row = [](const char *name, const QStringList &layout, const char *path,
                        platform::FolderCreation result) {
        QTest::newRow(name) << layout << QString(path) << result;
    };

    using Creation = platform::FolderCreation;
    row("new", {}, "n", Creation::Created);
    row("new inside a folder", {"folder a"}, "a/n", Creation::Created);
    row("a folder", {"folder n 700"}, "n", Creation::NameTaken);
    row("a file", {"file n"}, "n", Creation::NameTaken);
    row("a link to a folder", {"folder real", "link n real"}, "n", Creation::NameTaken);
    row("a dangling link", {"link n nowhere"}, "n", Creation::NameTaken);
    row("parent missing", {}, "a/n", Creation::Failed);
    row("parent a file", {"file a"}, "a/n", Creation::Failed);
    row("parent a link", {"folder real", "link a real"}, "a/n", Creation::Failed);
}

// Under a narrow umask: the mode of a new folder is the ordinary one whatever the umask.
void TestPlatformPosix::createFolder()
{
    QFETCH(QStringList, layout);
    QFETCH(QString, path);
    QFETCH(platform::FolderCreation, result);
    QTemporaryDir base;
    makeLayout(base.path(), layout);
    if (QTest::currentTestFailed())
        return;
    const QStringList before = listTree(base.path());
    const mode_t savedUmask = umask(077);
    const auto restoreUmask = qScopeGuard([savedUmask] { umask(savedUmask); });

    QCOMPARE(platform::createFolder(base.filePath(path).toStdString()), result);
    if (result != platform::FolderCreation::Created) {
        QCOMPARE(listTree(base.path()), before);
        return;
    }
    const struct stat status = statusOf(base.filePath(path));
    QVERIFY(S_ISDIR(status.st_mode));
    QCOMPARE(status.st_mode & 07777, mode_t(0755));
}

void TestPlatformPosix::copyFile_data()
{
    QTest::addColumn<QStringList>("layout");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("mode"); // of the copy; -1 when it must fail
    const auto row = [](const char *name, const QStringList &layout, const char *source, const char *target,
                        int mode) {
        QTest::newRow(name) << layout << QString(source) << QString(target) << mode;
    };

    row("0644", {"file s"}, "s", "t", 0644);
    row("0755", {"file s 755"}, "s", "t", 0755);
    row("0600", {"file s 600"}, "s", "t", 0600);
    row("0444", {"file s 444"}, "s", "t", 0444);
    row("setuid dropped", {"file s 4755"}, "s", "t", 0755);
    row("setgid dropped", {"file s 2750"}, "s", "t", 0750);
    row("nobody's", {"file s 640 65534"}, "s", "t", 0640);
    row("empty", {"big s 0"}, "s", "t", 0644);
    row("several blocks", {"big s " + QString::number(kSeveralBlocks)}, "s", "t", 0644);
    row("source a link", {"file f", "link s f"}, "s", "t", -1);
    row("source a folder", {"folder s"}, "s", "t", -1);
    row("source a fifo", {"fifo s"}, "s", "t", -1);
    row("source missing", {}, "s", "t", -1);
    row("source behind a link", {"folder real", "file real/s", "link l real"}, "l/s", "t", -1);
    row("target exists", {"file s", "file t"}, "s", "t", -1);
    row("target a dangling link", {"file s", "link t nowhere"}, "s", "t", -1);
    row("target a link to a file", {"file s", "file f", "link t f"}, "s", "t", -1);
    row("target behind a link", {"file s", "folder real", "link l real"}, "s", "l/t", -1);
    row("target's folder missing", {"file s"}, "s", "a/t", -1);
}

// Under a narrow umask, which must not decide the copy's mode either.
void TestPlatformPosix::copyFile()
{
    QFETCH(QStringList, layout);
    QFETCH(QString, source);
    QFETCH(QString, target);
    QFETCH(int, mode);
    QTemporaryDir base;
    makeLayout(base.path(), layout);
    if (QTest::currentTestFailed())
        return;
    const QString targetPath = base.filePath(target);
    const QStringList before = listTree(base.path());
    const QByteArray targetBefore = readFile(targetPath);
    const mode_t savedUmask = umask(077);
    const auto restoreUmask = qScopeGuard([savedUmask] { umask(savedUmask); });

    const bool copied = platform::copyFile(base.filePath(source).toStdString(), targetPath.toStdString());
    QCOMPARE(copied, mode >= 0);
    if (!copied) {
        QCOMPARE(listTree(base.path()), before);
        QCOMPARE(readFile(targetPath), targetBefore);
        return;
    }
    QVERIFY(readFile(targetPath) == readFile(base.filePath(source)));
    const struct stat status = statusOf(targetPath);
    QVERIFY(S_ISREG(status.st_mode));
    QCOMPARE(status.st_mode & 07777, mode_t(mode));
}

void TestPlatformPosix::copyFilesBetween_data()
{
    QTest::addColumn<QStringList>("layout");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("copied"); // per name of "a b c": 1 copied, 0 refused

    const QStringList three{"folder s", "folder t", "file s/a 600", "file s/b 755", "file s/c"};
    QTest::newRow("every file, each with its mode") << three << "s"
                                                    << "t"
                                                    << "111";
    QTest::newRow("a link and a fifo among them")
        << QStringList{"folder s", "folder t", "file s/a", "link s/b a", "fifo s/c"} << "s"
        << "t"
        << "100";
    QTest::newRow("one already in the copy") << three + QStringList{"file t/b"} << "s"
                                             << "t"
                                             << "101";
    QTest::newRow("source folder behind a link") << three + QStringList{"link l s"} << "l"
                                                 << "t"
                                                 << "000";
    QTest::newRow("target folder behind a link") << three + QStringList{"link l t"} << "s"
                                                 << "l"
                                                 << "000";
    QTest::newRow("target folder missing") << three << "s"
                                           << "u"
                                           << "000";
}

// copyFile's rules for every name, with the folders opened once.
void TestPlatformPosix::copyFilesBetween()
{
    QFETCH(QStringList, layout);
    QFETCH(QString, source);
    QFETCH(QString, target);
    QFETCH(QString, copied);
    QTemporaryDir base;
    makeLayout(base.path(), layout);
    if (QTest::currentTestFailed())
        return;
    const QStringList before = listTree(base.filePath(QStringLiteral("t")));
    QString reported;

    platform::copyFilesBetween(base.filePath(source).toStdString(), base.filePath(target).toStdString(),
                               {"a", "b", "c"}, [&](size_t index, bool success) {
                                   QCOMPARE(int(index), reported.size());
                                   reported += success ? QLatin1Char('1') : QLatin1Char('0');
                               });
    QCOMPARE(reported, copied);
    for (const char *name : {"a", "b", "c"}) {
        const QString copy = base.filePath(QStringLiteral("t/") + QLatin1String(name));
        const QString original = base.filePath(QStringLiteral("s/") + QLatin1String(name));
        if (copied.at(name[0] - 'a') == QLatin1Char('1')) {
            QCOMPARE(readFile(copy), readFile(original));
            QCOMPARE(statusOf(copy).st_mode, statusOf(original).st_mode);
        }
    }
    if (!copied.contains(QLatin1Char('1')))
        QCOMPARE(listTree(base.filePath(QStringLiteral("t"))), before);
}

void TestPlatformPosix::copyLink_data()
{
    QTest::addColumn<QStringList>("layout");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("copied");
    const auto row = [](const char *name, const QStringList &layout, const char *source, const char *target,
                        bool copied) {
        QTest::newRow(name) << layout << QString(source) << QString(target) << copied;
    };

    row("relative", {"file f", "link s f"}, "s", "t", true);
    row("absolute, to a folder", {"link s /tmp"}, "s", "t", true);
    row("dangling", {"link s ../nowhere"}, "s", "t", true);
    row("into another folder", {"folder a", "link s f"}, "s", "a/t", true);
    row("source a file", {"file s"}, "s", "t", false);
    row("target exists", {"link s f", "file t"}, "s", "t", false);
    row("target behind a link", {"link s f", "folder real", "link l real"}, "s", "l/t", false);
}

void TestPlatformPosix::copyLink()
{
    QFETCH(QStringList, layout);
    QFETCH(QString, source);
    QFETCH(QString, target);
    QFETCH(bool, copied);
    QTemporaryDir base;
    makeLayout(base.path(), layout);
    if (QTest::currentTestFailed())
        return;
    const QStringList before = listTree(base.path());

    QCOMPARE(platform::copyLink(base.filePath(source).toStdString(), base.filePath(target).toStdString()),
             copied);
    if (copied)
        QCOMPARE(linkContent(base.filePath(target)), linkContent(base.filePath(source)));
    else
        QCOMPARE(listTree(base.path()), before);
}

void TestPlatformPosix::sameContents_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    // "file" holds the second bytes; "link" is a link to the first, "itself" the first again.
    QTest::addColumn<QString>("secondKind");
    QTest::addColumn<bool>("same");
    const auto row = [](const char *name, const QByteArray &first, const QByteArray &second, const char *kind,
                        bool same) { QTest::newRow(name) << first << second << QString(kind) << same; };

    const QByteArray big = randomBytes(kSeveralBlocks, 7);
    QByteArray lastDiffers = big;
    lastDiffers[kSeveralBlocks - 1] = char(lastDiffers.at(kSeveralBlocks - 1) ^ 1);
    QByteArray secondBlockDiffers = big;
    secondBlockDiffers[(1 << 20) + 5] = char(secondBlockDiffers.at((1 << 20) + 5) ^ 0x80);
    row("identical", "abc", "abc", "file", true);
    row("both empty", "", "", "file", true);
    row("first byte differs", "abc", "xbc", "file", false);
    row("last byte differs", "abc", "abd", "file", false);
    row("one byte longer", "abc", "abc\n", "file", false);
    row("empty and not", "", "a", "file", false);
    row("several blocks, identical", big, big, "file", true);
    row("several blocks, second block differs", big, secondBlockDiffers, "file", false);
    row("several blocks, last byte differs", big, lastDiffers, "file", false);
    row("the same file", "abc", "", "itself", true);
    row("a link to the first", "abc", "", "link", false);
    row("a fifo", "", "", "fifo", false);
    row("missing", "", "", "missing", false);
}

// Asked both ways round.
void TestPlatformPosix::sameContents()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(QString, secondKind);
    QFETCH(bool, same);
    QTemporaryDir base;
    const QString firstPath = base.filePath(QStringLiteral("first"));
    QString secondPath = base.filePath(QStringLiteral("second"));
    writeFile(firstPath, first);
    if (secondKind == QLatin1String("file"))
        writeFile(secondPath, second);
    if (secondKind == QLatin1String("itself"))
        secondPath = firstPath;
    if (secondKind == QLatin1String("link") || secondKind == QLatin1String("fifo"))
        makeLayout(base.path(), {secondKind == QLatin1String("link") ? QStringLiteral("link second first")
                                                                     : QStringLiteral("fifo second")});
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(platform::sameContents(firstPath.toStdString(), secondPath.toStdString()), same);
    QCOMPARE(platform::sameContents(secondPath.toStdString(), firstPath.toStdString()), same);
}

void TestPlatformPosix::createNewFile_data()
{
    QTest::addColumn<QStringList>("layout");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("created");
    const auto row = [](const char *name, const QStringList &layout, const char *path, bool created) {
        QTest::newRow(name) << layout << QString(path) << created;
    };

    row("new", {}, "n", true);
    row("new inside a folder", {"folder a"}, "a/n", true);
    row("a file", {"file n"}, "n", false);
    row("a folder", {"folder n"}, "n", false);
    row("a dangling link", {"link n nowhere"}, "n", false);
    row("a link to a file", {"file f", "link n f"}, "n", false);
    row("parent a link", {"folder real", "link a real"}, "a/n", false);
}

// Under an empty umask, so that only the call narrows the mode.
void TestPlatformPosix::createNewFile()
{
    QFETCH(QStringList, layout);
    QFETCH(QString, path);
    QFETCH(bool, created);
    QTemporaryDir base;
    makeLayout(base.path(), layout);
    if (QTest::currentTestFailed())
        return;
    const QString full = base.filePath(path);
    const QStringList before = listTree(base.path());
    const QByteArray contentBefore = readFile(full);
    const mode_t savedUmask = umask(0);
    const auto restoreUmask = qScopeGuard([savedUmask] { umask(savedUmask); });

    const int fd = platform::createNewFile(full.toStdString());
    QCOMPARE(fd >= 0, created);
    if (!created) {
        QCOMPARE(listTree(base.path()), before);
        QCOMPARE(readFile(full), contentBefore);
        return;
    }
    const QByteArray bytes("written through the descriptor");
    const bool written = write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    QCOMPARE(close(fd), 0);
    QVERIFY(written);
    QCOMPARE(readFile(full), bytes);
    QCOMPARE(statusOf(full).st_mode & 07777, mode_t(0600));
}

void TestPlatformPosix::replaceFile_data()
{
    QTest::addColumn<QStringList>("layout");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("owner"); // "uid:gid" of the new file; empty when it must be refused
    QTest::addColumn<int>("mode");      // of the new file; -1: not checked
    const auto row = [](const char *name, const QStringList &layout, const char *path, const char *owner,
                        int mode) {
        QTest::newRow(name) << layout << QString(path) << QString(owner) << mode;
    };

    row("root's 0644", {"file f"}, "f", "0:0", 0644);
    row("nobody's 0640", {"file f 640 65534"}, "f", "65534:65534", 0640);
    row("root's, group nogroup, 0664", {"file f 664 0:65534"}, "f", "0:65534", 0664);
    row("none existed", {}, "f", "0:0", -1);
    row("a link to a file", {"file g", "link f g"}, "f", "", -1);
    row("a dangling link", {"link f nowhere"}, "f", "", -1);
    row("two hard links", {"file f", "hardlink g f"}, "f", "", -1);
    row("a folder", {"folder f"}, "f", "", -1);
    row("behind a link", {"folder real", "file real/f", "link l real"}, "l/f", "", -1);
    row("folder missing", {}, "a/f", "", -1);
}

// Under a narrow umask, which must not narrow the kept mode.
void TestPlatformPosix::replaceFile()
{
    QFETCH(QStringList, layout);
    QFETCH(QString, path);
    QFETCH(QString, owner);
    QFETCH(int, mode);
    QTemporaryDir base;
    makeLayout(base.path(), layout);
    if (QTest::currentTestFailed())
        return;
    const QString full = base.filePath(path);
    const QStringList before = listTree(base.path());
    const QByteArray contentBefore = readFile(full);
    const mode_t savedUmask = umask(077);
    const auto restoreUmask = qScopeGuard([savedUmask] { umask(savedUmask); });

    const QByteArray bytes("[Update]\nversion=2.0\n");
    const QString reason =
        QString::fromStdString(platform::replaceFile(full.toStdString(), bytes.toStdString()));
    if (owner.isEmpty()) {
        QVERIFY2(reason.contains(full), qPrintable(reason));
        QCOMPARE(listTree(base.path()), before);
        QCOMPARE(readFile(full), contentBefore);
        return;
    }
    QVERIFY2(reason.isEmpty(), qPrintable(reason));
    QCOMPARE(readFile(full), bytes);
    const struct stat status = statusOf(full);
    QCOMPARE(QStringLiteral("%1:%2").arg(status.st_uid).arg(status.st_gid), owner);
    if (mode >= 0)
        QCOMPARE(status.st_mode & 07777, mode_t(mode));
    // Nothing else is left beside it.
    QCOMPARE(entriesMatching(base.path(), QStringLiteral("*")), QStringList{path});
}

void TestPlatformPosix::removeCallersEntry_data()
{
    QTest::addColumn<QString>("caller"); // PKEXEC_UID; unset when empty
    QTest::addColumn<QStringList>("layout");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("folder");
    QTest::addColumn<bool>("removed");
    QTest::addColumn<QStringList>("kept");
    const auto row = [](const char *name, const char *caller, const QStringList &layout, const char *path,
                        bool folder, bool removed, const QStringList &kept) {
        QTest::newRow(name) << QString(caller) << layout << QString(path) << folder << removed << kept;
    };

    const char *const nobody = "65534";
    const QStringList secret{"folder secret 700", "file secret/s 600"};
    row("nobody's file", nobody, {"file c 600 65534"}, "c", false, true, {});
    row("root's file", nobody, {"file c"}, "c", false, false, {"c"});
    row("nobody's link to nobody's file", nobody, {"file f 644 65534", "link c f 65534"}, "c", false, false,
        {"c", "f"});
    row("nobody's link to root's file", nobody, {"file f", "link c f 65534"}, "c", false, false, {"c", "f"});
    row("nobody's folder, a file asked for", nobody, {"folder c 755 65534"}, "c", false, false, {"c"});
    row("nobody's file, a folder asked for", nobody, {"file c 644 65534"}, "c", true, false, {"c"});
    row("nobody's folder holding links to root's folder", nobody,
        secret + QStringList{"folder c 755 65534", "file c/x 644 65534", "link c/out ../secret 65534",
                             "folder c/sub 755 65534", "link c/sub/up ../../secret 65534"},
        "c", true, true, {"secret/s"});
    row("nobody's link to root's folder, a folder asked for", nobody,
        secret + QStringList{"link c secret 65534"}, "c", true, false, {"c", "secret/s"});
    row("root's folder", nobody, secret, "secret", true, false, {"secret/s"});
    row("nobody's file behind a link", nobody,
        {"folder real 755 65534", "file real/c 644 65534", "link l real 65534"}, "l/c", false, false,
        {"real/c"});
    row("nothing there", nobody, {}, "c", false, true, {});
    row("no caller named: root's file", "", {"file c"}, "c", false, true, {});
    row("caller not a number: nobody's file", "65534x", {"file c 644 65534"}, "c", false, false, {"c"});
}

void TestPlatformPosix::removeCallersEntry()
{
    QFETCH(QString, caller);
    QFETCH(QStringList, layout);
    QFETCH(QString, path);
    QFETCH(bool, folder);
    QFETCH(bool, removed);
    QFETCH(QStringList, kept);
    if (geteuid() != 0)
        QSKIP("the caller pkexec names counts only for root");
    QTemporaryDir base;
    makeLayout(base.path(), layout);
    if (QTest::currentTestFailed())
        return;

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("PKEXEC_UID"));
    if (!caller.isEmpty())
        environment.insert(QStringLiteral("PKEXEC_UID"), caller);
    const QString full = base.filePath(path);
    const QString kind = folder ? QStringLiteral("folder") : QStringLiteral("file");
    const ProcessRun run = runProbe({QStringLiteral("remove-callers"), full, kind}, environment);
    QVERIFY2(run.succeeded(), run.errors.constData());
    if (removed)
        QCOMPARE(run.output, QByteArray("removed\n"));
    else
        QVERIFY2(run.output.contains(full.toUtf8()), run.output.constData());
    verifyEntries(base.path(), kept, removed ? QStringList{path} : QStringList());
}

QTEST_GUILESS_MAIN(TestPlatformPosix)
#include "tst_platformposix.moc"
