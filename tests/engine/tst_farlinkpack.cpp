#include "PackageListing.h"
#include "PackageManifest.h"
#include "ProcessRun.h"
#include "TestFiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

using Files = QMap<QString, QByteArray>;

namespace {

// Ten files that every row shares, so that even a package of the manifest alone is large enough to download.
Files common()
{
    Files files;
    for (int number = 0; number < 10; ++number)
        files.insert(QStringLiteral("common/%1.dat").arg(number), randomBytes(100, quint32(number)));
    return files;
}

Files with(Files files, const Files &more)
{
    for (auto it = more.cbegin(); it != more.cend(); ++it)
        files.insert(it.key(), it.value());
    return files;
}

ProcessRun pack(const QStringList &arguments)
{
    return runProcess(QStringLiteral(FARLINK_PACK_PATH), arguments);
}

} // namespace

class FarlinkPackTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void sameFolderSameBytes_data();
    void sameFolderSameBytes();
    void deltaCarriesOnlyChanges_data();
    void deltaCarriesOnlyChanges();
    void refusals_data();
    void refusals();

private:
    QString path(const QString &name) const { return scratch.filePath(name); }

    QTemporaryDir scratch;
};

// The rows name paths in the scratch folder; each run starts with it empty.
void FarlinkPackTest::init()
{
    QVERIFY(scratch.isValid());
    QVERIFY(QDir(scratch.path()).removeRecursively() && QDir().mkpath(scratch.path()));
}

void FarlinkPackTest::sameFolderSameBytes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("full") << QStringList{"full", path("new")};
    QTest::newRow("delta") << QStringList{"delta", path("old"), path("new"), "--base-version", "1.0"};
}

// Times, permissions and the order the file system lists names in change nothing.
void FarlinkPackTest::sameFolderSameBytes()
{
    QFETCH(QStringList, arguments);
    writeFiles(path("old"), common());
    writeFiles(path("new"),
               with(common(), {{"b.dll", "b"}, {"a.dll", "a"}, {"读我.txt", "2"}, {"run.exe", "x"}}));
    // A program must still run once the updater has extracted it on Linux.
    QVERIFY(
        QFile::setPermissions(path("new/run.exe"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    arguments << "--version"
              << "2.0"
              << "-o";
    const ProcessRun first = pack(arguments + QStringList{path("first.zip")});
    QVERIFY2(first.succeeded(), first.errors.constData());

    QFile file(path("new/a.dll"));
    QVERIFY(file.remove());
    QVERIFY(QFile::setPermissions(path("new/b.dll"), QFile::ReadOwner));
    QFile touched(path("new/读我.txt"));
    QVERIFY(touched.open(QIODevice::ReadWrite));
    QVERIFY(
        touched.setFileTime(QDateTime::currentDateTime().addYears(-3), QFileDevice::FileModificationTime));
    touched.close();
    writeFile(path("new/a.dll"), "a");
    const ProcessRun second = pack(arguments + QStringList{path("second.zip")});
    QVERIFY2(second.succeeded(), second.errors.constData());

    QCOMPARE(readFile(path("second.zip")), readFile(path("first.zip")));
    QVERIFY(QDir().mkpath(path("extracted")));
    QVERIFY(runProcess(QStringLiteral("bsdtar"), {"-xf", path("first.zip"), "-C", path("extracted")})
                .succeeded());
    QVERIFY(QFileInfo(path("extracted/run.exe")).isExecutable());
    QVERIFY(!QFileInfo(path("extracted/b.dll")).isExecutable());
    QCOMPARE(second.output, first.output);
    QVERIFY(first.output.startsWith(
        "\"sha256\": \"" +
        QCryptographicHash::hash(readFile(path("first.zip")), QCryptographicHash::Sha256).toHex()));
}

void FarlinkPackTest::deltaCarriesOnlyChanges_data()
{
    QTest::addColumn<Files>("older");
    QTest::addColumn<Files>("newer");
    QTest::addColumn<QStringList>("carried");
    QTest::addColumn<QStringList>("removed");

    const Files base = with(common(), {{"app.exe", "1"}, {"lib/a.dll", "aaaa"}, {"lib/b.dll", "b"}});
    QTest::newRow("one file changed")
        << base << with(base, {{"app.exe", "2"}}) << QStringList{"app.exe"} << QStringList{};
    QTest::newRow("same size, other bytes")
        << base << with(base, {{"lib/a.dll", "aaab"}}) << QStringList{"lib/a.dll"} << QStringList{};
    QTest::newRow("a file added") << base << with(base, {{"lib/c/new.dll", "c"}})
                                  << QStringList{"lib/c/new.dll"} << QStringList{};
    Files withoutB = base;
    withoutB.remove("lib/b.dll");
    QTest::newRow("a file removed") << base << withoutB << QStringList{} << QStringList{"lib/b.dll"};
    Files withoutLib = withoutB;
    withoutLib.remove("lib/a.dll");
    QTest::newRow("a whole folder removed, as one path")
        << base << withoutLib << QStringList{} << QStringList{"lib"};
    QTest::newRow("nothing changed") << base << base << QStringList{} << QStringList{};
}

void FarlinkPackTest::deltaCarriesOnlyChanges()
{
    QFETCH(Files, older);
    QFETCH(Files, newer);
    QFETCH(QStringList, carried);
    QFETCH(QStringList, removed);
    writeFiles(path("old"), with(older, {{"config.ini", "[App]\nVersion=1.0.3\n"}}));
    writeFiles(path("new"), newer);

    // The base version comes from the old folder's config.ini.
    const ProcessRun run = pack({"delta", path("old"), path("new"), "--version", "1.1", "-o", path("d.zip")});
    QVERIFY2(run.succeeded(), run.errors.constData());

    PackageListing listing;
    QVERIFY(listing.read(path("d.zip")));
    QStringList entries;
    for (const PackageListing::Entry &entry : listing.entries())
        entries << entry.path;
    QCOMPARE(entries, QStringList{"farlink-manifest.json"} + carried);
    PackageManifest manifest;
    QVERIFY(manifest.read(listing.manifestData()));
    QCOMPARE(manifest.baseVersion().text(), QStringLiteral("1.0.3"));
    QCOMPARE(manifest.version().text(), QStringLiteral("1.1"));
    QCOMPARE(manifest.removals(), removed);
    QStringList listed;
    for (const PackageListing::Entry &file : manifest.files()) {
        listed << file.path;
        QCOMPARE(file.sha256, QCryptographicHash::hash(newer.value(file.path), QCryptographicHash::Sha256));
    }
    QCOMPARE(listed, newer.keys());
}

void FarlinkPackTest::refusals_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    const QStringList out{"-o", path("p.zip")};
    QTest::newRow("no version") << QStringList{"full", path("new")} + out << 2 << "usage:";
    QTest::newRow("no output") << QStringList{"full", path("new"), "--version", "2"} << 2 << "usage:";
    QTest::newRow("removals given to a delta")
        << QStringList{"delta", path("old"), path("new"), "--version", "2", "--remove", "x"} + out << 2
        << "usage:";
    QTest::newRow("version not dotted numbers")
        << QStringList{"full", path("new"), "--version", "2.0-beta"} + out << 1 << "版本无效";
    QTest::newRow("delta without a base version")
        << QStringList{"delta", path("new"), path("new"), "--version", "2"} + out << 1 << "--base-version";
    QTest::newRow("removal of a packed file")
        << QStringList{"full", path("new"), "--version", "2", "--remove", "a.dll"} + out << 1
        << "要删除的路径";
    QTest::newRow("a link in the folder")
        << QStringList{"full", path("linked"), "--version", "2"} + out << 1 << "is a link";
    QTest::newRow("not a key") << QStringList{"full", path("new"), "--version",
                                              "2",    "--key",     path("new/a.dll")} +
                                      out
                               << 1 << "not an Ed25519 private key";
}

void FarlinkPackTest::refusals()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    writeFiles(path("new"), with(common(), {{"a.dll", "a"}}));
    writeFiles(path("linked"), common());
    QVERIFY(QFile::link(path("new"), path("linked/elsewhere")));

    const ProcessRun run = pack(arguments);

    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(QString::fromUtf8(run.errors).contains(message), run.errors.constData());
    QVERIFY(run.output.isEmpty());
}

QTEST_GUILESS_MAIN(FarlinkPackTest)
#include "tst_farlinkpack.moc"
