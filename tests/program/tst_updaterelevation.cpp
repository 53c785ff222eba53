// Started by a user without administrator rights, the updater only asks for an elevated copy of itself:
// it hands on its own arguments unchanged, or, when nothing can elevate it, says so in a box and ends with
// 1. Either way it reads, sweeps and deletes nothing. Its version it tells without elevation. The runs use
// the unprivileged user "nobody".

#include "TestFiles.h"
#include "UpdaterRun.h"
#include "VirtualDisplay.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <unistd.h>

namespace {

const QString SetPriv = QStringLiteral("/usr/bin/setpriv");
const QStringList AsNobody = {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                              QStringLiteral("--clear-groups")};
const QString BoxTitle = QStringLiteral("权限请求失败");
constexpr int PromptExitMs = 10000;
constexpr int BoxShownMs = 20000;
// Longer than the companion folder's removal delay, so that a removal wrongly armed would have happened.
constexpr int BoxOpenMs = 3000;

constexpr QFile::Permissions OpenToAll = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                         QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                         QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;

bool openToAll(const QString &path)
{
    return QFile::setPermissions(path, OpenToAll);
}

bool makeFolder(const QString &path)
{
    return QDir().mkpath(path) && openToAll(path);
}

} // namespace

class UpdaterElevation : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void handsArgumentsToElevatedCopy();
    void showsBoxWhenElevationFails();
    void printsVersionWithoutElevation();

private:
    void verifyNothingTouched() const;
    void startAsNobody(UpdaterRun &run, const QString &searchPath, const QProcessEnvironment &base) const;

    // Reachable for the unprivileged user: the executable, the information file and the recorder.
    std::unique_ptr<QTemporaryDir> shared;
    QString executable;
    QString infoPath;
    QStringList arguments;
};

void UpdaterElevation::init()
{
    if (geteuid() != 0)
        QSKIP("switching to an unprivileged user needs root");
    shared = std::make_unique<QTemporaryDir>();
    QVERIFY(shared->isValid());
    QVERIFY(openToAll(shared->path()));
    executable = shared->filePath(QStringLiteral("FarlinkUpdater"));
    QVERIFY(QFile::copy(UpdaterRun::updaterPath(), executable));
    QVERIFY(QFile::setPermissions(executable,
                                  OpenToAll & ~QFile::Permissions(QFile::WriteGroup | QFile::WriteOther)));
    // A space and non-ASCII letters in the path: the elevated copy must get it as one unchanged argument.
    infoPath = shared->filePath(QStringLiteral("更新 信息.json"));
    writeFile(infoPath, "{\"app_path\": \"" + QFile::encodeName(executable) + "\"}");
    QVERIFY(openToAll(infoPath));
    QVERIFY(makeFolder(shared->filePath(QStringLiteral("更新 信息"))));
    arguments =
        QStringList{QStringLiteral("-i"), infoPath, QStringLiteral("--mode"), QStringLiteral("manual")};
}

void UpdaterElevation::verifyNothingTouched() const
{
    QVERIFY2(QFileInfo(infoPath).isFile(), "the information file belongs to the elevated copy");
    QVERIFY2(QFileInfo(shared->filePath(QStringLiteral("更新 信息"))).isDir(),
             "the companion folder was removed");
    QCOMPARE(workFolders(), QStringList());
}

void UpdaterElevation::startAsNobody(UpdaterRun &run, const QString &searchPath,
                                     const QProcessEnvironment &base) const
{
    QProcessEnvironment environment = base;
    environment.insert(QStringLiteral("PATH"), searchPath);
    environment.insert(QStringLiteral("HOME"), shared->path());
    environment.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    run.start(AsNobody + QStringList{executable} + arguments, environment, shared->path(), SetPriv);
}

void UpdaterElevation::handsArgumentsToElevatedCopy()
{
    const QString bin = shared->filePath(QStringLiteral("bin"));
    const QString record = shared->filePath(QStringLiteral("pkexec-arguments.txt"));
    QVERIFY(makeFolder(bin));
    writeFile(bin + QStringLiteral("/pkexec"),
              "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + QFile::encodeName(record) + "'\n");
    QVERIFY(openToAll(bin + QStringLiteral("/pkexec")));

    UpdaterRun run;
    startAsNobody(run, bin, QProcessEnvironment::systemEnvironment());
    QVERIFY2(run.waitForExit(PromptExitMs), "the updater waited for its elevated copy");
    QCOMPARE(run.exitCode(), 0);
    QTRY_VERIFY(QFileInfo::exists(record));

    QFile recorded(record);
    QVERIFY(recorded.open(QIODevice::ReadOnly));
    QStringList words = QString::fromUtf8(recorded.readAll()).split(QLatin1Char('\n'));
    QCOMPARE(words.takeLast(), QString());
    QCOMPARE(words.value(0), QStringLiteral("/usr/bin/env"));
    const int programAt = words.indexOf(executable);
    QVERIFY2(programAt > 0, qPrintable(words.join(QLatin1Char(' '))));
    QCOMPARE(words.mid(programAt + 1), arguments);
    for (const QString &assignment : words.mid(1, programAt - 1))
        QVERIFY2(assignment.contains(QLatin1Char('=')), qPrintable(assignment));
    QVERIFY(words.contains(QStringLiteral("PROGRAMDATA=") + qEnvironmentVariable("PROGRAMDATA")));
    verifyNothingTouched();
}

void UpdaterElevation::showsBoxWhenElevationFails()
{
    VirtualDisplay display;
    QVERIFY2(display.isValid(), qPrintable(display.errorText()));
    QVERIFY(makeFolder(shared->filePath(QStringLiteral("empty-bin"))));

    UpdaterRun run;
    startAsNobody(run, shared->filePath(QStringLiteral("empty-bin")),
                  display.environmentFor(QProcessEnvironment::systemEnvironment()));
    const qulonglong box = display.waitForWindow(BoxTitle, BoxShownMs);
    QVERIFY2(box != 0, qPrintable(run.log()));
    QTest::qWait(BoxOpenMs);
    QVERIFY2(run.isRunning(), "the updater must wait until the box is closed");
    verifyNothingTouched();

    QVERIFY(display.pressKey(box, QStringLiteral("Return")));
    QVERIFY(run.waitForExit(PromptExitMs));
    QCOMPARE(run.exitCode(), 1);
    verifyNothingTouched();
}

void UpdaterElevation::printsVersionWithoutElevation()
{
    QVERIFY(makeFolder(shared->filePath(QStringLiteral("empty-bin"))));
    arguments = QStringList{QStringLiteral("--version")};

    UpdaterRun run;
    startAsNobody(run, shared->filePath(QStringLiteral("empty-bin")),
                  QProcessEnvironment::systemEnvironment());
    QVERIFY2(run.waitForExit(PromptExitMs), "the updater asked for elevation to print its version");
    QCOMPARE(run.exitCode(), 0);
    QVERIFY2(run.log()
                 .split(QLatin1Char('\n'))
                 .contains(QStringLiteral("FarlinkUpdater " FARLINK_EXPECTED_VERSION)),
             qPrintable(run.log()));
    verifyNothingTouched();
}

QTEST_GUILESS_MAIN(UpdaterElevation)
#include "tst_updaterelevation.moc"
