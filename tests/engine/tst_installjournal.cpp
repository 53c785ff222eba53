#include "InstallJournal.h"
#include "TestFiles.h"
#include "TransactionConstants.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>

using Stage = InstallJournal::Stage;

namespace {

// What someone other than an administrator could have done to the journal's name.
enum class Tampering
{
    LinkToAJournal,
    SecondHardLink,
    WritableByOthers,
};

const QByteArray ValidHead =
    R"({"format":1,"stage":"backup-complete","backup":"_update_backup_20250101_120000",)";

InstallJournal::Record sampleRecord()
{
    return {Stage::ExtractionStarted,
            QStringLiteral("_update_backup_20250101_120000"),
            {{QStringLiteral("Quillon.exe"), 4096},
             {QStringLiteral("QuillonServer/QuillonDaemon.exe"), 0},
             {QStringLiteral("数据/大 文件.bin"), 5000000000LL}},
            {},
            0};
}

} // namespace

Q_DECLARE_METATYPE(Tampering)

class TestInstallJournal final : public QObject
{
    Q_OBJECT

private slots:
    void refusesWhatARecoveryCannotTrust_data();
    void refusesWhatARecoveryCannotTrust();
    void writesWholeRecordsOnly();
    void refusesAFileOthersCouldChange_data();
    void refusesAFileOthersCouldChange();
};

// Torn, garbled or hostile journals give a reason, never a record that would send a recovery outside the
// program folder or restore against a list it cannot check.
void TestInstallJournal::refusesWhatARecoveryCannotTrust_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("accepted");

    const QByteArray whole = InstallJournal::serialize(sampleRecord());
    QTest::newRow("as written") << whole << true;
    QTest::newRow("torn in the middle") << whole.left(whole.size() / 2) << false;
    QTest::newRow("one byte short") << whole.chopped(1) << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("zeros, as after a power cut") << QByteArray(64, '\0') << false;
    QTest::newRow("an array") << QByteArray("[" + whole + "]") << false;
    QTest::newRow("other format") << QByteArray(whole).replace("\"format\":1", "\"format\":2") << false;
    QTest::newRow("unknown stage") << QByteArray(whole).replace("extraction-started", "unpacking") << false;
    QTest::newRow("backup folder elsewhere")
        << QByteArray(whole).replace("\"_update_backup_2025", "\"../_update_backup_2025") << false;
    QTest::newRow("backup folder without the marker")
        << QByteArray(whole).replace("\"_update_backup_2025", "\"backup_2025") << false;
    QTest::newRow("backup folder is the journal")
        << QByteArray(whole).replace("_update_backup_20250101_120000", "_update_backup_journal.json")
        << false;
    QTest::newRow("file above the folder")
        << ValidHead + R"("files":[{"path":"../x.dll","size":1}]})" << false;
    QTest::newRow("file inside, through ..")
        << ValidHead + R"("files":[{"path":"lib/../x.dll","size":1}]})" << false;
    QTest::newRow("absolute file") << ValidHead + R"("files":[{"path":"/etc/passwd","size":1}]})" << false;
    QTest::newRow("drive letter") << ValidHead + R"("files":[{"path":"C:/x.dll","size":1}]})" << false;
    QTest::newRow("backslashes") << ValidHead + R"("files":[{"path":"lib\\x.dll","size":1}]})" << false;
    QTest::newRow("negative size") << ValidHead + R"("files":[{"path":"x.dll","size":-1}]})" << false;
    QTest::newRow("fractional size") << ValidHead + R"("files":[{"path":"x.dll","size":1.5}]})" << false;
    QTest::newRow("size as text") << ValidHead + R"("files":[{"path":"x.dll","size":"1"}]})" << false;
    QTest::newRow("list missing once backed up") << ValidHead.chopped(1) + "}" << false;
    QTest::newRow("no list needed before the backup")
        << QByteArray(R"({"format":1,"stage":"backup-started","backup":"_update_backup_1"})") << true;
    QTest::newRow("empty list") << ValidHead + R"("files":[]})" << true;
    const QByteArray trialHead = QByteArray(ValidHead).replace("backup-complete", "on-trial");
    const QByteArray trialFiles = R"("files":[{"path":"x.dll","size":1}])";
    QTest::newRow("on trial") << trialHead + trialFiles + R"(,"version":"2.0","trial_seconds":60})" << true;
    QTest::newRow("on trial, longest trial")
        << trialHead + trialFiles + R"(,"version":"2.0","trial_seconds":600})" << true;
    QTest::newRow("on trial without its version")
        << trialHead + trialFiles + R"(,"trial_seconds":60})" << false;
    QTest::newRow("on trial, line break in the version") << trialHead + trialFiles + R"(,"version":"2.0
[App]","trial_seconds":60})" << false;
    QTest::newRow("on trial without its length") << trialHead + trialFiles + R"(,"version":"2.0"})" << false;
    QTest::newRow("on trial, longer than any trial")
        << trialHead + trialFiles + R"(,"version":"2.0","trial_seconds":601})" << false;
    QTest::newRow("rolling back a trial without the list")
        << QByteArray(trialHead).replace("on-trial", "trial-rollback") +
               R"("version":"2.0","trial_seconds":60})"
        << false;
}

void TestInstallJournal::refusesWhatARecoveryCannotTrust()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, accepted);

    const InstallJournal::Reading reading = InstallJournal::parse(bytes);
    QCOMPARE(reading.record.has_value(), accepted);
    QCOMPARE(reading.error.isEmpty(), accepted);
    if (QTest::currentDataTag() == QLatin1String("as written")) {
        const InstallJournal::Record expected = sampleRecord();
        QCOMPARE(reading.record->stage, expected.stage);
        QCOMPARE(reading.record->backupFolder, expected.backupFolder);
        QCOMPARE(reading.record->files.size(), expected.files.size());
        for (int i = 0; i < expected.files.size(); ++i) {
            QCOMPARE(reading.record->files.at(i).path, expected.files.at(i).path);
            QCOMPARE(reading.record->files.at(i).size, expected.files.at(i).size);
        }
    }
}

// Each write replaces the record whole and leaves nothing else behind; removing twice is harmless.
void TestInstallJournal::writesWholeRecordsOnly()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    InstallJournal journal(folder.path());
    QCOMPARE(journal.path(), folder.path() + QStringLiteral("/_update_backup_journal.json"));
    QVERIFY(!journal.exists());
    QVERIFY(!journal.read().record);

    InstallJournal::Record record = sampleRecord();
    for (const Stage stage : {Stage::Started, Stage::BackupComplete, Stage::Installed}) {
        record.stage = stage;
        QVERIFY(journal.write(record));
        QCOMPARE(journal.read().record->stage, stage);
        QCOMPARE(QDir(folder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{transaction::JournalFileName});
    }
    QVERIFY(journal.remove());
    QVERIFY(journal.remove());
    QVERIFY(!journal.exists());

    // A folder that cannot take the journal is a failure the run must see.
    QVERIFY(!InstallJournal(folder.filePath(QStringLiteral("missing"))).write(record));
}

// A journal tells an elevated recovery what to delete and what to run: one that others could have written
// or could change through another name is not read, and never written through.
void TestInstallJournal::refusesAFileOthersCouldChange_data()
{
    QTest::addColumn<Tampering>("tampering");
    QTest::addColumn<bool>("writeRefused");

    QTest::newRow("a link to a journal") << Tampering::LinkToAJournal << true;
    QTest::newRow("a second hard link") << Tampering::SecondHardLink << true;
    // Written by this program, it is replaced whole like any other; only reading it is refused.
    QTest::newRow("writable by others") << Tampering::WritableByOthers << false;
}

void TestInstallJournal::refusesAFileOthersCouldChange()
{
    QFETCH(Tampering, tampering);
    QFETCH(bool, writeRefused);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    InstallJournal journal(folder.path());
    const QString elsewhere = folder.filePath(QStringLiteral("elsewhere.json"));
    const QByteArray valid = InstallJournal::serialize(sampleRecord());
    writeFile(elsewhere, valid);
    switch (tampering) {
    case Tampering::LinkToAJournal:
        std::filesystem::create_symlink(elsewhere.toStdString(), journal.path().toStdString());
        break;
    case Tampering::SecondHardLink:
        std::filesystem::create_hard_link(elsewhere.toStdString(), journal.path().toStdString());
        break;
    case Tampering::WritableByOthers:
        writeFile(journal.path(), valid);
        QVERIFY(
            QFile::setPermissions(journal.path(), QFile::permissions(journal.path()) | QFile::WriteOther));
        break;
    }

    QVERIFY(journal.exists());
    QVERIFY(!journal.read().record);
    InstallJournal::Record installed = sampleRecord();
    installed.stage = Stage::Installed;
    QCOMPARE(journal.write(installed), !writeRefused);
    QCOMPARE(readFile(elsewhere), valid);
    QCOMPARE(QFileInfo(journal.path()).isSymLink(), tampering == Tampering::LinkToAJournal);
}

QTEST_GUILESS_MAIN(TestInstallJournal)
#include "tst_installjournal.moc"
