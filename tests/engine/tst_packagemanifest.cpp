#include "DottedVersion.h"
#include "MessageLog.h"
#include "PackageManifest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

const QString Sha = QStringLiteral("15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225");

QJsonObject file(const QString &path, const QJsonValue &size = 9, const QJsonValue &sha256 = Sha)
{
    return {{"path", path}, {"size", size}, {"sha256", sha256}};
}

// A whole manifest of two files; each member given replaces the one there, those named in without go.
QByteArray manifest(const QJsonObject &changes = {}, const QString &without = QString())
{
    QJsonObject object{{"product", "Quillon"},
                       {"version", "2.0.0"},
                       {"files", QJsonArray{file("Quillon.exe"), file("lib/core.dll")}},
                       {"remove", QJsonArray{"lib/old.dll"}}};
    for (auto it = changes.begin(); it != changes.end(); ++it)
        object.insert(it.key(), it.value());
    object.remove(without);
    return QJsonDocument(object).toJson();
}

QByteArray withFiles(const QJsonArray &files)
{
    return manifest({{"files", files}});
}

QByteArray removing(const QJsonArray &removals)
{
    return manifest({{"remove", removals}});
}

} // namespace

class PackageManifestTest final : public QObject
{
    Q_OBJECT

private slots:
    void versionOrder_data();
    void versionOrder();
    void read_data();
    void read();
    void writtenManifestReadsBack();
};

void PackageManifestTest::versionOrder_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<int>("order"); // -1, 0, 1 as first is lower, equal, higher

    QTest::newRow("missing numbers are 0") << "2.0"
                                           << "2.0.0" << 0;
    QTest::newRow("numbers, not text") << "1.10"
                                       << "1.9" << 1;
    QTest::newRow("last number decides") << "1.0.0"
                                         << "1.0.1" << -1;
    QTest::newRow("a longer version with a non-zero tail") << "1.0.0.1"
                                                           << "1.0" << 1;
    QTest::newRow("leading zeros") << "01.002"
                                   << "1.2" << 0;
    QTest::newRow("eight parts") << "1.1.1.1.1.1.1.2"
                                 << "1.1.1.1.1.1.1.1" << 1;
    QTest::newRow("largest part") << "999999999"
                                  << "999999998" << 1;
    // No version at all is the lowest.
    QTest::newRow("nine parts are no version") << "1.1.1.1.1.1.1.1.1"
                                               << "0.0.1" << -1;
    QTest::newRow("ten digits are no version") << "1234567890"
                                               << "0.1" << -1;
    QTest::newRow("empty") << ""
                           << "0" << -1;
    QTest::newRow("blank around") << " 3.0"
                                  << "1.0" << -1;
    QTest::newRow("sign") << "+3.0"
                          << "1.0" << -1;
    QTest::newRow("empty part") << "3..0"
                                << "1.0" << -1;
    QTest::newRow("trailing dot") << "3.0."
                                  << "1.0" << -1;
    QTest::newRow("suffix") << "3.0-beta"
                            << "1.0" << -1;
    QTest::newRow("non-ASCII digits") << QStringLiteral("３.0") << "1.0" << -1;
    QTest::newRow("two non-versions") << "x"
                                      << "" << 0;
}

void PackageManifestTest::versionOrder()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(int, order);
    const DottedVersion a = DottedVersion::fromText(first);
    const DottedVersion b = DottedVersion::fromText(second);
    QCOMPARE(qBound(-1, a.compare(b), 1), order);
    QCOMPARE(qBound(-1, b.compare(a), 1), -order);
}

void PackageManifestTest::read_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("reason"); // empty: accepted

    QTest::newRow("full") << manifest() << QString();
    QTest::newRow("delta") << manifest({{"base_version", "1.0.0"}}) << QString();
    QTest::newRow("no removals") << manifest({}, "remove") << QString();
    QTest::newRow("size 0 and the largest exact size")
        << withFiles({file("a", 0), file("b", double(1LL << 53))}) << QString();

    QTest::newRow("not JSON") << QByteArray("{\"product\":") << "unterminated object";
    QTest::newRow("not an object") << QByteArray("[]") << "不是 JSON 对象";
    QTest::newRow("unknown member") << manifest({{"signature", "x"}}) << "未知的成员 signature";
    QTest::newRow("unknown file member")
        << withFiles({QJsonObject{{"path", "a"}, {"size", 1}, {"sha256", Sha}, {"mode", 493}}})
        << "未知的成员 mode";
    QTest::newRow("no product") << manifest({}, "product") << "缺少产品名称或版本";
    QTest::newRow("empty product") << manifest({{"product", ""}}) << "产品名称为空";
    QTest::newRow("version as a number") << manifest({{"version", 2}}) << "缺少产品名称或版本";
    QTest::newRow("version not dotted numbers") << manifest({{"version", "2.0-rc1"}}) << "版本无效: 2.0-rc1";
    QTest::newRow("base version malformed") << manifest({{"base_version", "1.x"}}) << "基础版本无效";
    QTest::newRow("base version equal") << manifest({{"base_version", "2.0"}}) << "基础版本不低于版本";
    QTest::newRow("base version higher") << manifest({{"base_version", "3"}}) << "基础版本不低于版本";
    QTest::newRow("no files") << manifest({}, "files") << "缺少文件列表";
    QTest::newRow("empty file list") << withFiles({}) << "文件列表为空";
    QTest::newRow("file entry not an object") << withFiles({"a"}) << "文件条目无效: ";
    QTest::newRow("negative size") << withFiles({file("a", -1)}) << "文件条目无效: a";
    QTest::newRow("fractional size") << withFiles({file("a", 1.5)}) << "文件条目无效: a";
    QTest::newRow("size beyond exact numbers")
        << withFiles({file("a", double(1LL << 53) * 2)}) << "文件条目无效: a";
    QTest::newRow("size as text") << withFiles({file("a", "9")}) << "文件条目无效: a";
    QTest::newRow("SHA-256 too short") << withFiles({file("a", 9, Sha.left(62))}) << "文件条目无效: a";
    QTest::newRow("SHA-256 not hex") << withFiles({file("a", 9, Sha.left(63) + "g")}) << "文件条目无效: a";

    // The same rules as the zip's own entries.
    QTest::newRow("parent folder") << withFiles({file("../evil.dll")}) << "路径段 ..: ../evil.dll";
    QTest::newRow("absolute") << withFiles({file("/etc/passwd")}) << "绝对路径: /etc/passwd";
    QTest::newRow("drive letter") << withFiles({file("C:/x.dll")}) << "不允许的字符 :: C:/x.dll";
    QTest::newRow("backslash") << withFiles({file("lib\\x.dll")}) << "不允许的字符 \\: lib\\x.dll";
    QTest::newRow("device name") << withFiles({file("nul.txt")}) << "设备名 nul.txt: nul.txt";
    QTest::newRow("trailing dot") << withFiles({file("lib./x")}) << "路径段以点或空格结尾: lib./x";
    QTest::newRow("backup folder") << withFiles({file("_update_backup_x/a")}) << "备份目录中的路径";
    QTest::newRow("file twice") << withFiles({file("a"), file("a")}) << "重复的条目: a";
    QTest::newRow("file twice as Windows compares")
        << withFiles({file("Lib/A.dll"), file("lib/a.DLL")}) << "重复的条目: lib/a.DLL";
    QTest::newRow("file and folder of one name")
        << withFiles({file("a/b"), file("A")}) << "文件与文件夹同名: A";
    QTest::newRow("the manifest itself listed")
        << withFiles({file("Farlink-Manifest.json")}) << "重复的条目: Farlink-Manifest.json";

    QTest::newRow("removal not a text") << removing({1}) << "删除列表中有非字符串";
    QTest::newRow("removals not a list") << manifest({{"remove", "lib/old.dll"}}) << "删除列表不是数组";
    QTest::newRow("removal unsafe") << removing({"lib/../../x"}) << "路径段 ..: lib/../../x";
    QTest::newRow("removal of a listed file")
        << removing({"LIB/CORE.DLL"}) << "要删除的路径是清单中的文件或其所在的文件夹: LIB/CORE.DLL";
    QTest::newRow("removal of a listed file's folder")
        << removing({"lib"}) << "要删除的路径是清单中的文件或其所在的文件夹: lib";
    QTest::newRow("removal below a listed file")
        << removing({"Quillon.exe/x"}) << "要删除的路径在清单中的文件之下: Quillon.exe/x";
    QTest::newRow("removal twice") << removing({"old", "OLD"}) << "重复的条目: OLD";
    QTest::newRow("removal of the manifest")
        << removing({"farlink-manifest.json"}) << "重复的条目: farlink-manifest.json";
}

void PackageManifestTest::read()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, reason);
    MessageLog log;
    PackageManifest read;

    QCOMPARE(read.read(json), reason.isEmpty());

    const QStringList refusals = log.startingWith(QStringLiteral("更新包清单无效: "));
    QVERIFY2(reason.isEmpty() ? refusals.isEmpty()
                              : refusals.size() == 1 && refusals.first().contains(reason),
             qPrintable(refusals.join('\n')));
    // A refused manifest leaves nothing half-read behind.
    QCOMPARE(read.files().isEmpty(), !reason.isEmpty());
}

// What farlink-pack writes with the updater's code is what the updater reads, member for member.
void PackageManifestTest::writtenManifestReadsBack()
{
    const QByteArray digest = QByteArray::fromHex(Sha.toLatin1());
    const QVector<PackageListing::Entry> files{{QStringLiteral("读我.txt"), false, 0, 0, digest},
                                               {QStringLiteral("lib/core.dll"), false, 1LL << 40, 0, digest}};
    const PackageManifest written(QStringLiteral("Quillon"), DottedVersion::fromText(QStringLiteral("2.1")),
                                  DottedVersion::fromText(QStringLiteral("2.0.7")), files,
                                  {QStringLiteral("plugins/old")});
    PackageManifest read;
    QVERIFY(read.read(written.toJson()));
    QCOMPARE(read.product(), QStringLiteral("Quillon"));
    QCOMPARE(read.version().text(), QStringLiteral("2.1"));
    QCOMPARE(read.baseVersion().text(), QStringLiteral("2.0.7"));
    QCOMPARE(read.removals(), QStringList{QStringLiteral("plugins/old")});
    QCOMPARE(read.files().size(), 2);
    for (int index = 0; index < files.size(); ++index) {
        QCOMPARE(read.files().at(index).path, files.at(index).path);
        QCOMPARE(read.files().at(index).size, files.at(index).size);
        QCOMPARE(read.files().at(index).sha256, digest);
    }
    QCOMPARE(read.toJson(), written.toJson());
}

QTEST_GUILESS_MAIN(PackageManifestTest)
#include "tst_packagemanifest.moc"
