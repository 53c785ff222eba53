#include "WindowFixture.h"

#include <QDesktopServices>
#include <QtTest>

using W = UpdaterWindow;

namespace {

const QString Critical = QStringLiteral("Critical error! Please download from website");
const QString CloseWebsite = QStringLiteral("- | Close | - | Website");

// The status line and the buttons each failure state shows.
QStringList presentation(int state)
{
    switch (state) {
    case W::STATE_DOWNLOAD_FAILED:
        return {QStringLiteral("Download failed"), QStringLiteral("Retry | Close | - | -")};
    case W::STATE_INSTALL_FAILED:
        return {QStringLiteral("Update failed, restored to previous version"),
                QStringLiteral("- | Close | - | -")};
    case W::STATE_CRITICAL_ERROR:
        return {Critical, CloseWebsite};
    default:
        return {};
    }
}

} // namespace

class ErrorPresentationTest : public QObject
{
    Q_OBJECT

public slots:
    void recordOpenedUrl(const QUrl &url) { openedUrls.append(url); }

private slots:
    void engineMessages_data();
    void engineMessages();
    void closeEndsTheUpdater_data();
    void closeEndsTheUpdater();
    void retryStartsTheDownloadAgain_data();
    void retryStartsTheDownloadAgain();
    void websiteOpensTheDownloadPage();

private:
    QList<QUrl> openedUrls;
};

void ErrorPresentationTest::engineMessages_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("state");

    const int idle = W::STATE_IDLE;
    const int downloading = W::STATE_DOWNLOADING;
    const int installing = W::STATE_INSTALLING;
    const int downloadFailed = W::STATE_DOWNLOAD_FAILED;
    const int restored = W::STATE_INSTALL_FAILED;
    const int critical = W::STATE_CRITICAL_ERROR;

    // What the engine sends
    QTest::newRow("transfer failed") << downloading << "下载失败: Connection refused" << downloadFailed;
    QTest::newRow("integrity") << downloading << "文件完整性校验失败" << downloadFailed;
    QTest::newRow("cannot save") << downloading << "无法保存临时下载文件" << downloadFailed;
    QTest::newRow("disk space") << idle << "磁盘空间不足，无法完成更新" << downloadFailed;
    QTest::newRow("program missing") << idle << "程序文件不存在，无法更新" << downloadFailed;
    QTest::newRow("backup failed") << installing << "创建备份失败，停止更新" << downloadFailed;
    QTest::newRow("files restored") << installing << "安装文件失败，已恢复原版本" << restored;
    QTest::newRow("processes not closed")
        << installing << "无法关闭正在运行的程序，请手动关闭后重试，已恢复原版本" << restored;
    QTest::newRow("not restored") << installing << "安装失败且无法恢复，需要重新安装" << critical;
    // Each word on its own, and their order
    QTest::newRow("interrupted") << downloading << "下载中断" << downloadFailed;
    QTest::newRow("network error") << downloading << "网络错误: timeout" << downloadFailed;
    QTest::newRow("connection failed") << downloading << "连接失败" << downloadFailed;
    QTest::newRow("reinstall alone") << installing << "需要重新安装" << critical;
    QTest::newRow("download word wins") << installing << "已恢复原版本，但下载失败" << downloadFailed;
    QTest::newRow("restored wins over reinstall") << installing << "需要重新安装，已恢复原版本" << restored;
    QTest::newRow("no word") << installing << "something unexpected" << downloadFailed;
    QTest::newRow("empty") << installing << "" << downloadFailed;
    QTest::newRow("after success") << int(W::STATE_SUCCESS) << "安装文件失败，已恢复原版本" << restored;
}

void ErrorPresentationTest::engineMessages()
{
    QFETCH(int, from);
    QFETCH(QString, message);
    QFETCH(int, state);

    WindowFixture fx;
    WindowProbe *window = fx.open();
    window->currentState = from;
    window->updateButtonState();
    window->progressBar->show();
    emit window->engine->errorOccurred(message);

    const QStringList shown = presentation(state);
    QCOMPARE(window->currentState, state);
    QCOMPARE(window->statusLabel->text(), shown.value(0));
    QCOMPARE(window->buttons(), shown.value(1));
    QVERIFY(window->progressBar->isHidden());
    // The arrangement survives a later button update.
    window->updateButtonState();
    QCOMPARE(window->buttons(), shown.value(1));
}

void ErrorPresentationTest::closeEndsTheUpdater_data()
{
    QTest::addColumn<QString>("message");
    QTest::newRow("download error") << "下载失败: 404";
    QTest::newRow("restored") << "安装文件失败，已恢复原版本";
    QTest::newRow("critical") << "安装失败且无法恢复，需要重新安装";
}

void ErrorPresentationTest::closeEndsTheUpdater()
{
    QFETCH(QString, message);

    WindowFixture fx;
    WindowProbe *window = fx.openShown();
    emit window->engine->errorOccurred(message);
    QVERIFY(
        WindowProbe::quitsEventLoop([window] { QTest::mouseClick(window->cancelButton, Qt::LeftButton); }));
}

void ErrorPresentationTest::retryStartsTheDownloadAgain_data()
{
    QTest::addColumn<QStringList>("errors");
    QTest::newRow("one error") << QStringList{"下载失败: 404"};
    QTest::newRow("two errors") << QStringList{"下载失败: 404", "文件完整性校验失败"};
    QTest::newRow("install error, then download error")
        << QStringList{"安装文件失败，已恢复原版本", "下载失败: 404"};
}

void ErrorPresentationTest::retryStartsTheDownloadAgain()
{
    QFETCH(QStringList, errors);

    WindowFixture fx;
    WindowProbe *window = fx.openShown();
    for (const QString &error : errors)
        emit window->engine->errorOccurred(error);
    QString statusWhilePainting;
    QTimer::singleShot(0, window, [&] { statusWhilePainting = window->statusLabel->text(); });
    QTest::mouseClick(window->updateButton, Qt::LeftButton);

    QCOMPARE(statusWhilePainting, QStringLiteral("Connecting..."));
    QCOMPARE(window->currentState, int(W::STATE_DOWNLOADING));
    QCOMPARE(window->buttons(), QStringLiteral("- | Cancel | - | -"));
    QVERIFY(window->progressBar->isVisible());
    QCOMPARE(window->progressBar->value(), 0);
    QCOMPARE(window->barColour(), QStringLiteral("blue"));
    QVERIFY(window->engine->isRunning());

    // Cancel during the new download cancels it and keeps the window, as during the first download.
    QVERIFY(
        !WindowProbe::quitsEventLoop([window] { QTest::mouseClick(window->cancelButton, Qt::LeftButton); }));
    QCOMPARE(window->currentState, int(W::STATE_IDLE));
    QVERIFY(window->isVisible());
    QVERIFY(!window->engine->isRunning());
}

void ErrorPresentationTest::websiteOpensTheDownloadPage()
{
    QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "recordOpenedUrl");
    WindowFixture fx;
    WindowProbe *window = fx.openShown();
    emit window->engine->errorOccurred(QStringLiteral("安装失败且无法恢复，需要重新安装"));
    QTest::mouseClick(window->websiteButton, Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));

    QCOMPARE(openedUrls.size(), 1);
    const QUrl page = openedUrls.first();
    QVERIFY(page.isValid());
    QCOMPARE(page.scheme(), QStringLiteral("https"));
    QVERIFY(!page.host().isEmpty());
    QCOMPARE(page.path(), QStringLiteral("/download"));
    QCOMPARE(window->currentState, int(W::STATE_CRITICAL_ERROR));
    QCOMPARE(window->buttons(), CloseWebsite);
    QCOMPARE(window->statusLabel->text(), Critical);
}

QTEST_MAIN(ErrorPresentationTest)
#include "tst_errorpresentation.moc"
