#include "WindowFixture.h"

#include <QtTest>

using W = WindowProbe;

namespace {

// Long enough for the 100 ms automatic start to have happened.
constexpr int PastAutoStartMs = 400;

} // namespace

class UpdateNotesTest : public QObject
{
    Q_OBJECT

private slots:
    void memoEscapes_data();
    void memoEscapes();
    void emptyMemoShowsDefaultNotes();
    void markup_data();
    void markup();
    void remoteResourcesInNotesAreNotFetched();
    void hugeInvalidMemoKeepsWindowResponsive();
    void modeDecidesAutomaticStart_data();
    void modeDecidesAutomaticStart();
    void clickJustBeforeAutomaticStart();
    void autoStartOnlyFromIdle_data();
    void autoStartOnlyFromIdle();
};

void UpdateNotesTest::memoEscapes_data()
{
    QTest::addColumn<QString>("memo");
    QTest::addColumn<QString>("shown");

    QTest::newRow("backslash n") << R"(First\nSecond)"
                                 << "First\nSecond";
    QTest::newRow("backslash t") << R"(a\tb)"
                                 << "a\tb";
    QTest::newRow("backslash quote") << R"(say \"hi\")"
                                     << R"(say "hi")";
    QTest::newRow("two backslashes") << R"(C:\\Apps)"
                                     << R"(C:\Apps)";
    QTest::newRow("two backslashes then n") << R"(a\\nb)"
                                            << "a\\\nb";
    QTest::newRow("two backslashes then t") << R"(x\\ty)"
                                            << "x\\\ty";
    QTest::newRow("three backslashes then quote") << R"(\\\")"
                                                  << R"(\")";
    QTest::newRow("real line break kept") << "one\ntwo"
                                          << "one\ntwo";
    QTest::newRow("nothing to replace") << "Faster start"
                                        << "Faster start";
}

void UpdateNotesTest::memoEscapes()
{
    QFETCH(QString, memo);
    QFETCH(QString, shown);

    WindowFixture fx;
    WindowProbe *window = fx.open(QStringLiteral("auto"), memo);
    QCOMPARE(window->notesEdit->toPlainText(), shown);
}

void UpdateNotesTest::emptyMemoShowsDefaultNotes()
{
    WindowFixture fx;
    WindowProbe *window = fx.open();
    window->setUpdateInfo(fx.product.mainExecutable(), QStringLiteral("2.3.1"),
                          fx.server.url(WindowFixture::PackagePath).toString(), QStringLiteral("auto"),
                          QString());
    QCOMPARE(window->notesEdit->toPlainText(),
             QStringLiteral("Version: 2.3.1\n\nUpdate Notes:\n"
                            "1. Optimized installation logic; closes main program after validation\n"
                            "2. Added operation protection during installation\n"
                            "3. Fixed stability issues"));
    QVERIFY(window->notesEdit->isReadOnly());
}

void UpdateNotesTest::markup_data()
{
    QTest::addColumn<QString>("memo");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("bold");

    QTest::newRow("bold tag") << "<b>Faster</b> start"
                              << "Faster start" << true;
    QTest::newRow("comparison signs") << "1 < 2 and 3 > 2"
                                      << "1 < 2 and 3 > 2" << false;
}

void UpdateNotesTest::markup()
{
    QFETCH(QString, memo);
    QFETCH(QString, shown);
    QFETCH(bool, bold);

    WindowFixture fx;
    WindowProbe *window = fx.open(QStringLiteral("auto"), memo);
    QCOMPARE(window->notesEdit->toPlainText(), shown);
    QTextCursor cursor(window->notesEdit->document());
    cursor.movePosition(QTextCursor::NextCharacter);
    QCOMPARE(cursor.charFormat().fontWeight() > QFont::Normal, bold);
}

void UpdateNotesTest::remoteResourcesInNotesAreNotFetched()
{
    WindowFixture fx;
    const QString base = fx.server.url(QString()).toString();
    const QString memo = QStringLiteral("<p>Visible</p><img src=\"%1/pic.png\">"
                                        "<link rel=\"stylesheet\" href=\"%1/style.css\">"
                                        "<script src=\"%1/run.js\"></script><table background=\"%1/bg.png\">"
                                        "<tr><td>cell</td></tr></table>")
                             .arg(base);
    WindowProbe *window = fx.open(QStringLiteral("auto"), memo);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    // Drawing the notes is when a browser would load their resources.
    window->grab();
    QTest::qWait(PastAutoStartMs);

    QVERIFY(window->notesEdit->toPlainText().contains(QStringLiteral("Visible")));
    QCOMPARE(fx.server.connectionCount(), 0);
}

void UpdateNotesTest::hugeInvalidMemoKeepsWindowResponsive()
{
    QByteArray bytes;
    // Stray bytes, a cut sequence and an encoded surrogate, none of them valid UTF-8.
    const QByteArray chunk("\xff\xfe\x80 caf\xc3 \\n \xed\xa0\x80 line ");
    while (bytes.size() < 5 * 1024 * 1024)
        bytes += chunk;

    WindowFixture fx;
    WindowProbe *window = fx.open(QStringLiteral("manual"), QString::fromUtf8(bytes));
    bool queuedCallRan = false;
    QMetaObject::invokeMethod(
        window, [&queuedCallRan] { queuedCallRan = true; }, Qt::QueuedConnection);
    QTRY_VERIFY(queuedCallRan);
    QVERIFY(window->notesEdit->document()->characterCount() > 1024 * 1024);
    QVERIFY(window->notesEdit->toPlainText().contains(QChar::ReplacementCharacter));
    // The window still works: the automatic start still happens.
    QTRY_COMPARE(window->currentState, int(W::STATE_DOWNLOADING));
}

void UpdateNotesTest::modeDecidesAutomaticStart_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("starts");

    QTest::newRow("manual") << "manual" << true;
    QTest::newRow("Manual") << "Manual" << true;
    QTest::newRow("auto") << "auto" << false;
    QTest::newRow("other") << "manually" << false;
    QTest::newRow("empty") << "" << false;
}

void UpdateNotesTest::modeDecidesAutomaticStart()
{
    QFETCH(QString, mode);
    QFETCH(bool, starts);

    WindowFixture fx;
    WindowProbe *window = fx.open(mode);
    QCOMPARE(window->currentState, int(W::STATE_IDLE));
    QCOMPARE(window->buttons(), QStringLiteral("Update Now | Cancel | - | -"));

    if (starts) {
        QTRY_COMPARE(window->currentState, int(W::STATE_DOWNLOADING));
        QCOMPARE(window->buttons(), QStringLiteral("- | Cancel | - | -"));
        QVERIFY(!window->progressBar->isHidden());
        QCOMPARE(window->progressBar->value(), 0);
        QCOMPARE(window->barColour(), QStringLiteral("blue"));
        QTRY_COMPARE_WITH_TIMEOUT(fx.server.requests(), WindowFixture::PackageRequest, 10000);
    } else {
        QTest::qWait(PastAutoStartMs);
        QCOMPARE(window->currentState, int(W::STATE_IDLE));
        QCOMPARE(fx.server.connectionCount(), 0);
    }
}

void UpdateNotesTest::clickJustBeforeAutomaticStart()
{
    WindowFixture fx;
    WindowProbe *window = fx.open(QStringLiteral("manual"));
    window->updateButton->click();
    QCOMPARE(window->currentState, int(W::STATE_DOWNLOADING));
    emit window->engine->progressChanged(30, QStringLiteral("Download: 30%"));

    QTest::qWait(PastAutoStartMs);
    QCOMPARE(window->currentState, int(W::STATE_DOWNLOADING));
    QCOMPARE(window->progressBar->value(), 30);
    QCOMPARE(window->statusLabel->text(), QStringLiteral("Download: 30%"));
    QTRY_COMPARE_WITH_TIMEOUT(fx.server.requests(), WindowFixture::PackageRequest, 10000);
    QCOMPARE(fx.server.connectionCount(), 1);
}

void UpdateNotesTest::autoStartOnlyFromIdle_data()
{
    QTest::addColumn<int>("state");
    for (int state : W::AllStates)
        QTest::newRow(W::StateNames[state]) << state;
}

void UpdateNotesTest::autoStartOnlyFromIdle()
{
    QFETCH(int, state);

    WindowFixture fx;
    WindowProbe *window = fx.open();
    window->currentState = state;
    QString statusWhilePainting;
    QTimer::singleShot(0, window, [&] { statusWhilePainting = window->statusLabel->text(); });
    window->autoStartDownload();

    const bool starts = state == W::STATE_IDLE;
    QCOMPARE(window->currentState, starts ? int(W::STATE_DOWNLOADING) : state);
    QCOMPARE(statusWhilePainting, starts ? QStringLiteral("Connecting...") : QString());
    QCOMPARE(window->buttons(),
             starts ? QStringLiteral("- | Cancel | - | -") : QStringLiteral("Update Now | Cancel | - | -"));
    QCOMPARE(window->engine->isRunning(), starts);
}

QTEST_MAIN(UpdateNotesTest)
#include "tst_updatenotes.moc"
