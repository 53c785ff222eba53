#include "Platform.h"
#include "StaleWorkFolderSweep.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

enum class Place
{
    Temp,
    ProgramData,
    // The program-data root as anyone may change it: open to all, without and with the sticky bit.
    ProgramDataOpenToAll,
    ProgramDataStickyOpenToAll
};

enum class Kind
{
    Folder,
    File,
    LinkToFolder,
    FolderHoldingLink // a folder whose sub-folder was swapped for a link to a folder outside
};

constexpr mode_t OrdinaryFolderMode = 0755;

mode_t modeOf(Place place)
{
    if (place == Place::ProgramDataOpenToAll)
        return 0777;
    return place == Place::ProgramDataStickyOpenToAll ? 01777 : OrdinaryFolderMode;
}

void emptyFolder(const QString &folder)
{
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
        else
            QFile::remove(entry.filePath());
    }
}

} // namespace

Q_DECLARE_METATYPE(Place)
Q_DECLARE_METATYPE(Kind)

class StaleWorkFolderSweepTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void entry_data();
    void entry();
    void invalidBirthTimeStays();
    void bothPlacesInOneSweep();
    void freshEntriesSurvive();

private:
    QString placePath(Place place, const QString &name) const
    {
        return (place == Place::Temp ? m_temp : m_programData) + QLatin1Char('/') + name;
    }
    void create(const QString &path, Kind kind, const QString &linkTarget = QString()) const;

    QString m_temp;
    QString m_programData;
};

// The sweep removes things for real: it must only ever see the test's own scratch folders.
void StaleWorkFolderSweepTest::initTestCase()
{
    m_temp = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    m_programData = QString::fromStdString(platform::programDataRoot());
    QVERIFY2(!qEnvironmentVariableIsEmpty("TMPDIR") &&
                 m_temp == QDir::cleanPath(qEnvironmentVariable("TMPDIR")),
             "TMPDIR must name this test's scratch folder");
    QVERIFY2(!qEnvironmentVariableIsEmpty("PROGRAMDATA") &&
                 m_programData == qEnvironmentVariable("PROGRAMDATA"),
             "PROGRAMDATA must name this test's scratch folder");
    QVERIFY2(startup::fileBirthTime(QFileInfo(m_programData)).isValid(),
             "the scratch folders' file system records no creation times");
}

void StaleWorkFolderSweepTest::init()
{
    QCOMPARE(chmod(QFile::encodeName(m_programData).constData(), OrdinaryFolderMode), 0);
    emptyFolder(m_temp);
    emptyFolder(m_programData);
}

void StaleWorkFolderSweepTest::create(const QString &path, Kind kind, const QString &linkTarget) const
{
    if (kind == Kind::Folder)
        writeFile(path + "/nested/update.zip", {});
    if (kind == Kind::File)
        writeFile(path, {});
    if (kind == Kind::LinkToFolder)
        QVERIFY(QFile::link(linkTarget, path));
    if (kind == Kind::FolderHoldingLink) {
        writeFile(path + "/update.zip", {});
        QVERIFY(QFile::link(linkTarget, path + "/nested"));
    }
}

void StaleWorkFolderSweepTest::entry_data()
{
    QTest::addColumn<Place>("place");
    QTest::addColumn<QString>("name");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<qint64>("ageMs");
    QTest::addColumn<bool>("removed");

    const Place data = Place::ProgramData;
    const Place temp = Place::Temp;
    QTest::newRow("created just now") << data << "QuillUpdate_1700000000" << Kind::Folder << 0LL << false;
    QTest::newRow("300 s old") << data << "QuillUpdate_1700000000" << Kind::Folder << 300000LL << false;
    QTest::newRow("300.999 s old counts as 300")
        << data << "QuillUpdate_1700000000" << Kind::Folder << 300999LL << false;
    QTest::newRow("301 s old") << data << "QuillUpdate_1700000000" << Kind::Folder << 301000LL << true;
    QTest::newRow("a file") << data << "QuillUpdate_1700000000" << Kind::File << 301000LL << true;
    QTest::newRow("name taken, numbered")
        << data << "QuillUpdate_1700000000_12" << Kind::Folder << 301000LL << true;
    QTest::newRow("bare prefix") << data << "QuillUpdate_" << Kind::Folder << 301000LL << true;
    QTest::newRow("lower-case name") << data << "quillupdate_x" << Kind::Folder << 301000LL << true;
    QTest::newRow("temp folder") << temp << "VAZedure_abc" << Kind::Folder << 301000LL << true;
    QTest::newRow("temp file, upper-case name")
        << temp << "VAZEDURE_ABC.JSON" << Kind::File << 301000LL << true;
    QTest::newRow("no underscore") << data << "QuillUpdate1700000000" << Kind::Folder << 301000LL << false;
    QTest::newRow("prefix not at the start")
        << data << "old_QuillUpdate_1" << Kind::File << 301000LL << false;
    QTest::newRow("temp pattern in program data")
        << data << "VAZedure_1" << Kind::Folder << 301000LL << false;
    QTest::newRow("program-data pattern in temp")
        << temp << "QuillUpdate_1" << Kind::Folder << 301000LL << false;
    QTest::newRow("link: only the link goes")
        << data << "QuillUpdate_link" << Kind::LinkToFolder << 301000LL << true;
    QTest::newRow("link inside: removed as a link")
        << data << "QuillUpdate_1" << Kind::FolderHoldingLink << 301000LL << true;
    QTest::newRow("program-data root open to all: left alone")
        << Place::ProgramDataOpenToAll << "QuillUpdate_1" << Kind::Folder << 301000LL << false;
    QTest::newRow("program-data root sticky, as /tmp")
        << Place::ProgramDataStickyOpenToAll << "QuillUpdate_1" << Kind::Folder << 301000LL << true;
}

void StaleWorkFolderSweepTest::entry()
{
    QFETCH(Place, place);
    QFETCH(QString, name);
    QFETCH(Kind, kind);
    QFETCH(qint64, ageMs);
    QFETCH(bool, removed);

    QTemporaryDir outside(QDir::currentPath() + "/sweep-target-XXXXXX");
    writeFile(outside.filePath("keep.txt"), {});
    const QString path = placePath(place, name);
    create(path, kind, outside.path());
    QCOMPARE(chmod(QFile::encodeName(m_programData).constData(), modeOf(place)), 0);

    const QDateTime born = startup::fileBirthTime(QFileInfo(path));
    QVERIFY(born.isValid());
    startup::sweepStaleWorkFolders(born.addMSecs(ageMs));
    QCOMPARE(entryExists(path), !removed);
    QVERIFY(QFileInfo::exists(outside.filePath("keep.txt")));
}

void StaleWorkFolderSweepTest::invalidBirthTimeStays()
{
    create(placePath(Place::ProgramData, "QuillUpdate_1"), Kind::Folder);
    create(placePath(Place::Temp, "VAZedure_1"), Kind::File);
    startup::sweepStaleWorkFolders(QDateTime::currentDateTime().addDays(365),
                                   [](const QFileInfo &) { return QDateTime(); });
    QVERIFY(entryExists(placePath(Place::ProgramData, "QuillUpdate_1")));
    QVERIFY(entryExists(placePath(Place::Temp, "VAZedure_1")));
}

void StaleWorkFolderSweepTest::bothPlacesInOneSweep()
{
    const QStringList stale = {placePath(Place::Temp, "VAZedure_a"), placePath(Place::Temp, "vazedure_b"),
                               placePath(Place::ProgramData, "QuillUpdate_1"),
                               placePath(Place::ProgramData, "QuillUpdate_2")};
    for (const QString &path : stale)
        create(path, Kind::Folder);
    const QString unrelated = placePath(Place::ProgramData, "config.ini");
    create(unrelated, Kind::File);

    startup::sweepStaleWorkFolders(QDateTime::currentDateTime().addSecs(400));
    for (const QString &path : stale)
        QVERIFY2(!entryExists(path), qPrintable(path));
    QVERIFY(entryExists(unrelated));
}

// The work folder of an updater started a moment ago must survive a second updater's start.
void StaleWorkFolderSweepTest::freshEntriesSurvive()
{
    create(placePath(Place::ProgramData, "QuillUpdate_1"), Kind::Folder);
    create(placePath(Place::Temp, "VAZedure_1"), Kind::File);
    startup::sweepStaleWorkFolders();
    QVERIFY(entryExists(placePath(Place::ProgramData, "QuillUpdate_1/nested/update.zip")));
    QVERIFY(entryExists(placePath(Place::Temp, "VAZedure_1")));
}

QTEST_GUILESS_MAIN(StaleWorkFolderSweepTest)
#include "tst_staleworkfoldersweep.moc"
