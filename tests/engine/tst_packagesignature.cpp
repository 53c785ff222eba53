#include "MessageLog.h"
#include "PackageSignature.h"
#include "ProcessRun.h"
#include "TestFiles.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QString Openssl = QStringLiteral("openssl");
const QString Missing = QStringLiteral("签名校验失败: 缺少签名");
const QString Malformed = QStringLiteral("签名校验失败: 签名格式无效");
const QString NotVerifying = QStringLiteral("签名校验失败: 没有公钥能验证该签名");
const QString Verified = QStringLiteral("签名校验成功");

enum class Signer
{
    FarlinkSign,
    Openssl
};

} // namespace

Q_DECLARE_METATYPE(Signer)

// Keys and signatures come from openssl at test time, so that the updater is checked against an
// independent Ed25519 implementation rather than against itself.
class PackageSignatureTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void verdicts_data();
    void verdicts();
    void signToolInteroperates_data();
    void signToolInteroperates();
    void keygenKeepsExistingKeyFile();

private:
    QString path(const QString &name) const { return scratch.filePath(name); }
    QString makeKey(Signer maker, const QString &name, QString *publicKey);
    QString publicKeyOf(const QString &keyFile);
    QString signedBy(Signer signer, const QString &keyFile, const QString &package);

    QTemporaryDir scratch;
    QByteArray package;
    QString firstKey;
    QString secondKey;
    QString firstSignature;
    QString secondSignature;
};

QString PackageSignatureTest::publicKeyOf(const QString &keyFile)
{
    // The DER form of an Ed25519 public key ends with its 32 raw bytes.
    const ProcessRun run =
        runProcess(Openssl, {"pkey", "-in", keyFile, "-pubout", "-outform", "DER", "-out", keyFile + ".pub"});
    if (!run.succeeded())
        return {};
    return QString::fromLatin1(readFile(keyFile + ".pub").right(32).toBase64());
}

QString PackageSignatureTest::makeKey(Signer maker, const QString &name, QString *publicKey)
{
    const QString keyFile = path(name);
    if (maker == Signer::Openssl) {
        const ProcessRun run = runProcess(Openssl, {"genpkey", "-algorithm", "ed25519", "-out", keyFile});
        *publicKey = run.succeeded() ? publicKeyOf(keyFile) : QString();
        return keyFile;
    }
    const ProcessRun run = runProcess(QStringLiteral(FARLINK_SIGN_PATH), {"keygen", keyFile});
    *publicKey = run.succeeded() ? QString::fromLatin1(run.output.trimmed()) : QString();
    return keyFile;
}

QString PackageSignatureTest::signedBy(Signer signer, const QString &keyFile, const QString &packageFile)
{
    if (signer == Signer::Openssl) {
        const ProcessRun run = runProcess(Openssl, {"pkeyutl", "-sign", "-rawin", "-inkey", keyFile, "-in",
                                                    packageFile, "-out", packageFile + ".sig"});
        return run.succeeded() ? QString::fromLatin1(readFile(packageFile + ".sig").toBase64()) : QString();
    }
    const ProcessRun run = runProcess(QStringLiteral(FARLINK_SIGN_PATH), {"sign", keyFile, packageFile});
    const QRegularExpression members(
        QStringLiteral("^\"sha256\": \"([0-9a-f]{64})\",\n\"signature\": \"([A-Za-z0-9+/=]+)\"\n$"));
    const QRegularExpressionMatch match = members.match(QString::fromLatin1(run.output));
    if (!run.succeeded() || !match.hasMatch() ||
        match.captured(1) !=
            QCryptographicHash::hash(readFile(packageFile), QCryptographicHash::Sha256).toHex())
        return {};
    return match.captured(2);
}

void PackageSignatureTest::initTestCase()
{
    QVERIFY(scratch.isValid());
    package = randomBytes(5000, 11);
    writeFile(path("package.zip"), package);
    const QString firstFile = makeKey(Signer::Openssl, "first.pem", &firstKey);
    const QString secondFile = makeKey(Signer::Openssl, "second.pem", &secondKey);
    QCOMPARE(firstKey.size(), 44);
    QCOMPARE(secondKey.size(), 44);
    firstSignature = signedBy(Signer::Openssl, firstFile, path("package.zip"));
    secondSignature = signedBy(Signer::Openssl, secondFile, path("package.zip"));
    QCOMPARE(firstSignature.size(), 88);
    QCOMPARE(secondSignature.size(), 88);
}

void PackageSignatureTest::verdicts_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<int>("flippedByte"); // -1: the package as signed
    QTest::addColumn<QString>("signature");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("logLine");

    const QStringList first{firstKey};
    QByteArray flippedSignature = QByteArray::fromBase64(firstSignature.toLatin1());
    flippedSignature[10] = char(flippedSignature[10] ^ 0x01);

    QTest::newRow("good") << first << -1 << firstSignature << true << Verified;
    QTest::newRow("wrong key") << QStringList{secondKey} << -1 << firstSignature << false << NotVerifying;
    QTest::newRow("flipped byte in the package") << first << 4000 << firstSignature << false << NotVerifying;
    QTest::newRow("flipped bit in the signature")
        << first << -1 << QString::fromLatin1(flippedSignature.toBase64()) << false << NotVerifying;
    QTest::newRow("missing") << first << -1 << QString() << false << Missing;
    QTest::newRow("not Base64") << first << -1 << "!" + firstSignature.mid(1) << false << Malformed;
    QTest::newRow("padding left off") << first << -1 << firstSignature.chopped(2) << false << Malformed;
    QTest::newRow("line break after it") << first << -1 << firstSignature + "\n" << false << Malformed;
    QTest::newRow("63 bytes") << first << -1 << QString::fromLatin1(QByteArray(63, 'x').toBase64()) << false
                              << Malformed;
    QTest::newRow("two keys built in, second one signs")
        << QStringList{firstKey, secondKey} << -1 << secondSignature << true << Verified;
    QTest::newRow("malformed key beside the signing one")
        << QStringList{"not a key", secondKey} << -1 << secondSignature << true << Verified;
    QTest::newRow("only a malformed key")
        << QStringList{firstKey.chopped(1)} << -1 << firstSignature << false << NotVerifying;
    QTest::newRow("no key: not signature-checked") << QStringList() << 4000 << QString() << true << QString();
}

void PackageSignatureTest::verdicts()
{
    QFETCH(QStringList, keys);
    QFETCH(int, flippedByte);
    QFETCH(QString, signature);
    QFETCH(bool, accepted);
    QFETCH(QString, logLine);

    QByteArray checked = package;
    if (flippedByte >= 0)
        checked[flippedByte] = char(checked[flippedByte] ^ 0x80);
    const PackageSignature check(keys);
    const MessageLog log;
    QCOMPARE(check.accepts(checked, signature), accepted);
    QCOMPARE(check.isRequired(), !keys.isEmpty());
    const QStringList lines = log.startingWith(QStringLiteral("签名校验"));
    QCOMPARE(lines.size(), logLine.isEmpty() ? 0 : 1);
    QVERIFY(logLine.isEmpty() || lines.first().startsWith(logLine));
}

void PackageSignatureTest::signToolInteroperates_data()
{
    QTest::addColumn<Signer>("keyMaker");
    QTest::addColumn<Signer>("signer");
    QTest::addColumn<Signer>("verifier");

    QTest::newRow("farlink-sign key and signature, openssl verifies")
        << Signer::FarlinkSign << Signer::FarlinkSign << Signer::Openssl;
    QTest::newRow("farlink-sign key, openssl signature, farlink verifies")
        << Signer::FarlinkSign << Signer::Openssl << Signer::FarlinkSign;
    QTest::newRow("openssl key, farlink-sign signature, openssl verifies")
        << Signer::Openssl << Signer::FarlinkSign << Signer::Openssl;
}

void PackageSignatureTest::signToolInteroperates()
{
    QFETCH(Signer, keyMaker);
    QFETCH(Signer, signer);
    QFETCH(Signer, verifier);

    const QString tag = QString::number(QTest::currentDataTag() ? qHash(QTest::currentDataTag()) : 0);
    QString publicKey;
    const QString keyFile = makeKey(keyMaker, "key-" + tag + ".pem", &publicKey);
    QCOMPARE(publicKey, publicKeyOf(keyFile));
    const QString signature = signedBy(signer, keyFile, path("package.zip"));
    QCOMPARE(signature.size(), 88);
    // Ed25519 signatures are deterministic: both tools must give the very same bytes.
    const Signer other = signer == Signer::Openssl ? Signer::FarlinkSign : Signer::Openssl;
    QCOMPARE(signature, signedBy(other, keyFile, path("package.zip")));

    if (verifier == Signer::Openssl) {
        writeFile(path("tool.sig"), QByteArray::fromBase64(signature.toLatin1()));
        const ProcessRun run = runProcess(Openssl, {"pkeyutl", "-verify", "-rawin", "-pubin", "-inkey",
                                                    keyFile + ".pub", "-keyform", "DER", "-in",
                                                    path("package.zip"), "-sigfile", path("tool.sig")});
        QVERIFY2(run.succeeded(), (run.output + run.errors).constData());
    } else {
        QVERIFY(PackageSignature({publicKey}).accepts(package, signature));
    }
}

void PackageSignatureTest::keygenKeepsExistingKeyFile()
{
    QString publicKey;
    const QString keyFile = makeKey(Signer::FarlinkSign, "kept.pem", &publicKey);
    struct stat status = {};
    QCOMPARE(::stat(QFile::encodeName(keyFile).constData(), &status), 0);
    QCOMPARE(status.st_mode & 0777, mode_t(0600));
    const QByteArray original = readFile(keyFile);

    const ProcessRun again = runProcess(QStringLiteral(FARLINK_SIGN_PATH), {"keygen", keyFile});
    QVERIFY(again.finished);
    QCOMPARE(again.exitCode, 1);
    QVERIFY(again.output.isEmpty());
    QVERIFY(!again.errors.isEmpty());
    QCOMPARE(readFile(keyFile), original);

    const ProcessRun notAKey =
        runProcess(QStringLiteral(FARLINK_SIGN_PATH), {"sign", path("package.zip"), path("package.zip")});
    QCOMPARE(notAKey.exitCode, 1);
    QVERIFY(notAKey.output.isEmpty());
}

QTEST_GUILESS_MAIN(PackageSignatureTest)
#include "tst_packagesignature.moc"
