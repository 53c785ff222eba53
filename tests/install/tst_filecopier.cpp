#include "FileCopier.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int BufferBytes = 1 << 20;

enum class Destination
{
    Free,
    ExistingFile,
    Folder,
    // The target's folder is a link to a folder elsewhere, which must stay empty.
    BehindLink,
};

} // namespace

Q_DECLARE_METATYPE(Destination)

class FileCopierTest final : public QObject
{
    Q_OBJECT

private slots:
    void copiesEveryByte_data();
    void copiesEveryByte();
    void refusesOrLeavesNothing_data();
    void refusesOrLeavesNothing();
};

void FileCopierTest::copiesEveryByte_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("permissions");

    const int plain = int(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup);
    QTest::newRow("empty") << 0 << plain;
    QTest::newRow("one byte") << 1 << plain;
    QTest::newRow("one byte short of the buffer") << BufferBytes - 1 << plain;
    QTest::newRow("exactly the buffer") << BufferBytes << plain;
    QTest::newRow("one byte past the buffer") << BufferBytes + 1 << plain;
    QTest::newRow("three buffers") << 3 * BufferBytes << plain;
    QTest::newRow("executable") << 100 << (plain | QFileDevice::ExeOwner | QFileDevice::ExeGroup);
    QTest::newRow("read-only") << 100 << int(QFileDevice::ReadOwner | QFileDevice::ReadOther);
}

void FileCopierTest::copiesEveryByte()
{
    QFETCH(int, size);
    QFETCH(int, permissions);
    QTemporaryDir scratch;
    const QString source = scratch.filePath(QStringLiteral("source.bin"));
    const QString destination = scratch.filePath(QStringLiteral("copy.bin"));
    const QByteArray content = randomBytes(size, static_cast<quint32>(size));
    QFile file(source);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(size));
    file.close();
    QVERIFY(QFile::setPermissions(source, QFileDevice::Permissions(permissions)));

    QVERIFY(transaction::copyRegularFile(source, destination));
    QCOMPARE(readFile(destination), content);
    // Owner, group and others: the "user" flags depend on who runs the test.
    const int ownerGroupOther = 0x7077;
    QCOMPARE(int(QFile::permissions(destination)) & ownerGroupOther, permissions);
}

void FileCopierTest::refusesOrLeavesNothing_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<Destination>("destination");

    QTest::newRow("an existing file is not overwritten") << QString() << Destination::ExistingFile;
    QTest::newRow("a folder in the way") << QString() << Destination::Folder;
    QTest::newRow("source missing") << QStringLiteral("missing.bin") << Destination::Free;
    QTest::newRow("source is a folder") << QStringLiteral("folder") << Destination::Free;
    // A link put where the walk saw a file is not followed: what it points at is not copied.
    QTest::newRow("source is a link to a file") << QStringLiteral("link.bin") << Destination::Free;
    QTest::newRow("source behind a linked folder")
        << QStringLiteral("linked/source.bin") << Destination::Free;
    QTest::newRow("a link in the target's folder") << QString() << Destination::BehindLink;
    // Opens, then fails on the first read: the copy must not stay half-made.
    QTest::newRow("source fails while read") << QStringLiteral("/proc/self/mem") << Destination::Free;
    // Reports a size of 0 yet reads as text: a byte count that differs from the size is no copy.
    QTest::newRow("source holds more than its size") << QStringLiteral("/proc/version") << Destination::Free;
}

void FileCopierTest::refusesOrLeavesNothing()
{
    QFETCH(QString, source);
    QFETCH(Destination, destination);
    QTemporaryDir scratch;
    const QString existingSource = scratch.filePath(QStringLiteral("source.bin"));
    QFile sourceFile(existingSource);
    QVERIFY(sourceFile.open(QIODevice::WriteOnly));
    sourceFile.write("new bytes");
    sourceFile.close();
    QVERIFY(QDir().mkpath(scratch.filePath(QStringLiteral("folder"))));
    QVERIFY(QFile::link(existingSource, scratch.filePath(QStringLiteral("link.bin"))));
    const QString elsewhere = scratch.filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(elsewhere));
    QVERIFY(QFile::link(scratch.path(), scratch.filePath(QStringLiteral("linked"))));
    QVERIFY(QFile::link(elsewhere, scratch.filePath(QStringLiteral("out"))));
    // Absolute names are taken as they are, relative ones inside the scratch folder.
    const QString from = source.isEmpty() ? existingSource : QDir(scratch.path()).filePath(source);
    if (from.startsWith(QLatin1String("/proc")) && !QFile(from).open(QIODevice::ReadOnly))
        QSKIP("no file at hand that opens but cannot be read");
    const QString target = scratch.filePath(
        destination == Destination::BehindLink ? QStringLiteral("out/copy.bin") : QStringLiteral("copy.bin"));
    if (destination == Destination::ExistingFile) {
        QFile existing(target);
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write("keep me");
    } else if (destination == Destination::Folder) {
        QVERIFY(QDir().mkpath(target));
    }

    QVERIFY(!transaction::copyRegularFile(from, target));
    switch (destination) {
    case Destination::ExistingFile:
        QCOMPARE(readFile(target), QByteArray("keep me"));
        break;
    case Destination::Folder:
        QVERIFY(QFileInfo(target).isDir());
        break;
    case Destination::Free:
        QVERIFY(!QFileInfo::exists(target));
        break;
    case Destination::BehindLink:
        QCOMPARE(QDir(elsewhere).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        break;
    }
}

QTEST_GUILESS_MAIN(FileCopierTest)
#include "tst_filecopier.moc"
