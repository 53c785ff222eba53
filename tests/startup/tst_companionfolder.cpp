#include "CompanionFolder.h"
#include "MessageLog.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <unistd.h>

namespace {

// The user who started the updater, as pkexec names them; the test itself runs as root.
constexpr uid_t Caller = 65534;
constexpr uid_t Root = 0;

// Each of the paths that exists, links as themselves.
bool giveTo(uid_t owner, const QStringList &paths)
{
    return std::all_of(paths.cbegin(), paths.cend(), [owner](const QString &path) {
        return !entryExists(path) || lchown(QFile::encodeName(path).constData(), owner, owner) == 0;
    });
}

enum class Occupant
{
    Nothing,
    FolderWithContents,
    File,
    LinkToFolder
};

} // namespace

Q_DECLARE_METATYPE(Occupant)

class CompanionFolderTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void companionPath_data();
    void companionPath();
    void removal_data();
    void removal();
    void keptFolders_data();
    void keptFolders();
    void retry_data();
    void retry();
    void removalWaitsTwoSeconds();

private:
    QString path(const QString &name) const { return m_dir->path() + QLatin1Char('/') + name; }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void CompanionFolderTest::init()
{
    qunsetenv("PKEXEC_UID");
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void CompanionFolderTest::companionPath_data()
{
    QTest::addColumn<QString>("infoPath");
    QTest::addColumn<QString>("expected");

    const QStringList rows[] = {{"lower-case ending", "/srv/up/info.json", "/srv/up/info"},
                                {"upper-case ending", "/srv/up/INFO.JSON", "/srv/up/INFO"},
                                {"mixed-case ending", "/srv/up/info.jSoN", "/srv/up/info"},
                                {"one-letter name", "/srv/up/a.json", "/srv/up/a"},
                                {"no ending: the file itself", "/srv/up/info", "/srv/up/info"},
                                {"ending not at the end", "/srv/up/info.json.bak", "/srv/up/info.json.bak"},
                                {"longer ending", "/srv/up/info.json5", "/srv/up/info.json5"},
                                {"name is only the ending", "/srv/up/.json", "/srv/up/.json"},
                                {"relative to the current directory", "info.json", "info"},
                                {"spaces and non-Latin letters", QStringLiteral("/srv/更新 1/信息.json"),
                                 QStringLiteral("/srv/更新 1/信息")}};
    for (const QStringList &row : rows)
        QTest::newRow(qPrintable(row[0])) << row[1] << row[2];
}

void CompanionFolderTest::companionPath()
{
    QFETCH(QString, infoPath);
    QFETCH(QString, expected);
    QCOMPARE(startup::companionFolderPath(infoPath),
             QDir::toNativeSeparators(QDir::current().absoluteFilePath(expected)));
}

void CompanionFolderTest::removal_data()
{
    QTest::addColumn<Occupant>("occupant");
    QTest::addColumn<uid_t>("owner"); // of everything the row makes
    QTest::addColumn<bool>("removed");

    QTest::newRow("the caller's folder with contents") << Occupant::FolderWithContents << Caller << true;
    QTest::newRow("root's folder: kept") << Occupant::FolderWithContents << Root << false;
    QTest::newRow("nothing there") << Occupant::Nothing << Caller << false;
    QTest::newRow("a file, not a folder") << Occupant::File << Caller << false;
    QTest::newRow("link to a folder: neither goes") << Occupant::LinkToFolder << Caller << false;
}

// Started by another user through pkexec: only what that user owns may go.
void CompanionFolderTest::removal()
{
    QFETCH(Occupant, occupant);
    QFETCH(uid_t, owner);
    QFETCH(bool, removed);

    const QString companion = path("info");
    const QString outside = path("outside/keep.txt");
    writeFile(outside, {});
    if (occupant == Occupant::FolderWithContents)
        writeFile(companion + "/sub/data.bin", {});
    if (occupant == Occupant::File)
        writeFile(companion, {});
    if (occupant == Occupant::LinkToFolder)
        QVERIFY(QFile::link(path("outside"), companion));
    QVERIFY(giveTo(owner, {companion, companion + "/sub", companion + "/sub/data.bin", path("outside")}));
    qputenv("PKEXEC_UID", QByteArray::number(Caller));

    const MessageLog log;
    startup::removeCompanionFolder(companion, {});
    QCOMPARE(log.of(QtDebugMsg), removed ? QStringList{"good"} : QStringList());
    QCOMPARE(entryExists(companion), occupant != Occupant::Nothing && !removed);
    QVERIFY(QFileInfo::exists(outside));
}

void CompanionFolderTest::keptFolders_data()
{
    QTest::addColumn<QString>("companion");
    QTest::addColumn<QStringList>("kept");
    QTest::addColumn<bool>("removed");

    QTest::newRow("is a kept folder") << "info" << QStringList{"info"} << false;
    QTest::newRow("holds a kept folder") << "info" << QStringList{"elsewhere", "info/product"} << false;
    QTest::newRow("kept folder named in other letter case") << "info" << QStringList{"INFO/product"} << false;
    QTest::newRow("sibling sharing the name's start") << "info" << QStringList{"info-product"} << true;
    QTest::newRow("inside a kept folder") << "info/sub" << QStringList{"info"} << true;
    QTest::newRow("file system root") << "/" << QStringList() << false;
}

// The remover only records here: nothing is ever removed for real.
void CompanionFolderTest::keptFolders()
{
    QFETCH(QString, companion);
    QFETCH(QStringList, kept);
    QFETCH(bool, removed);

    if (companion != "/")
        companion = path(companion);
    QVERIFY(QDir().mkpath(companion));
    for (QString &folder : kept)
        folder = path(folder);

    QStringList calls;
    const MessageLog log;
    startup::removeCompanionFolder(companion, kept, [&calls](const QString &folder) {
        calls.append(folder);
        return true;
    });
    QCOMPARE(calls, removed ? QStringList{companion} : QStringList());
    QCOMPARE(log.of(QtWarningMsg).size(), removed ? 0 : 1);
}

void CompanionFolderTest::retry_data()
{
    QTest::addColumn<QList<bool>>("results");
    QTest::addColumn<bool>("goodLogged");

    QTest::newRow("first attempt succeeds") << QList<bool>{true} << true;
    QTest::newRow("second attempt succeeds, silently") << QList<bool>{false, true} << false;
    QTest::newRow("both fail, no third attempt") << QList<bool>{false, false} << false;
}

void CompanionFolderTest::retry()
{
    QFETCH(QList<bool>, results);
    QFETCH(bool, goodLogged);
    QVERIFY(QDir().mkpath(path("info")));

    // Shared with the retry timer, which outlives this function when a check fails early.
    const auto calls = std::make_shared<int>(0);
    const MessageLog log;
    startup::removeCompanionFolder(
        path("info"), {}, [calls, results](const QString &) { return results.value((*calls)++, false); });
    QCOMPARE(*calls, 1);
    QTest::qWait(700);
    QCOMPARE(*calls, 1);
    QTRY_COMPARE_WITH_TIMEOUT(*calls, results.size(), 2000);
    QTest::qWait(1500);
    QCOMPARE(*calls, results.size());
    QCOMPARE(log.of(QtDebugMsg), goodLogged ? QStringList{"good"} : QStringList());
}

void CompanionFolderTest::removalWaitsTwoSeconds()
{
    const QString companion = path("info");
    QVERIFY(QDir().mkpath(companion));
    startup::scheduleCompanionFolderRemoval(companion, {});
    QTest::qWait(1500);
    QVERIFY2(QFileInfo::exists(companion), "removed before its two seconds");
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(companion), 3000);
}

QTEST_GUILESS_MAIN(CompanionFolderTest)
#include "tst_companionfolder.moc"
