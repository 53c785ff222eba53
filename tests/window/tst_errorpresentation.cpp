#include "WindowFixture.h"

#include <QDesktopServices>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

using W = UpdaterWindow;

namespace {

const QString DownloadFailed = QStringLiteral("Download failed");
const QString Restored = QStringLiteral("Update failed, restored to previous version");
const QString Critical = QStringLiteral("Critical error! Please download from website");
const QString RetryClose = QStringLiteral("Retry | Close | - | -");
const QString CloseOnly = QStringLiteral("- | Close | - | -");
const QString CloseWebsite = QStringLiteral("- | Close | - | Website");

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
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("buttons");

    const int downloading = W::STATE_DOWNLOADING;
    const int installing = W::STATE_INSTALLING;
    const int downloadFailed = W::STATE_DOWNLOAD_FAILED;
    const int restored = W::STATE_INSTALL_FAILED;
    const int critical = W::STATE_CRITICAL_ERROR;

    // What the engine sends
    QTest::newRow("transfer failed") << downloading << "下载失败: Connection refused" << downloadFailed
                                     << DownloadFailed << RetryClose;
    QTest::newRow("integrity") << downloading << "文件完整性校验失败" << downloadFailed << DownloadFailed
                               << RetryClose;
    QTest::newRow("cannot save") << downloading << "无法保存临时下载文件" << downloadFailed << DownloadFailed
                                 << RetryClose;
    QTest::newRow("disk space") << int(W::STATE_IDLE) << "磁盘空间不足，无法完成更新" << downloadFailed
                                << DownloadFailed << RetryClose;
    QTest::newRow("program missing") << int(W::STATE_IDLE) << "程序文件不存在，无法更新" << downloadFailed
                                     << DownloadFailed << RetryClose;
    QTest::newRow("backup failed") << installing << "创建备份失败，停止更新" << downloadFailed
                                   << DownloadFailed << RetryClose;
    QTest::newRow("files restored") << installing << "安装文件失败，已恢复原版本" << restored << Restored
                                    << CloseOnly;
    QTest::newRow("processes not closed")
        << installing << "无法关闭正在运行的程序，请手动关闭后重试，已恢复原版本" << restored << Restored
        << CloseOnly;
    QTest::newRow("not restored") << installing << "安装失败且无法恢复，需要重新安装" << critical << Critical
                                  << CloseWebsite;
    // Each word on its own, and their order
    QTest::newRow("interrupted") << downloading << "下载中断" << downloadFailed << DownloadFailed
                                 << RetryClose;
    QTest::newRow("network error") << downloading << "网络错误: timeout" << downloadFailed << DownloadFailed
                                   << RetryClose;
    QTest::newRow("connection failed")
        << downloading << "连接失败" << downloadFailed << DownloadFailed << RetryClose;
    QTest::newRow("reinstall alone") << installing << "需要重新安装" << critical << Critical << CloseWebsite;
    QTest::newRow("download word wins")
        << installing << "已恢复原版本，但下载失败" << downloadFailed << DownloadFailed << RetryClose;
    QTest::newRow("restored wins over reinstall")
        << installing << "需要重新安装，已恢复原版本" << restored << Restored << CloseOnly;
    QTest::newRow("no word") << installing << "something unexpected" << downloadFailed << DownloadFailed
                             << RetryClose;
    QTest::newRow("empty") << installing << "" << downloadFailed << DownloadFailed << RetryClose;
    QTest::newRow("after success") << int(W::STATE_SUCCESS) << "安装文件失败，已恢复原版本" << restored
                                   << Restored << CloseOnly;
}

void ErrorPresentationTest::engineMessages()
{
    QFETCH(int, from);
    QFETCH(QString, message);
    QFETCH(int, state);
    QFETCH(QString, status);
    QFETCH(QString, buttons);

    WindowFixture fx;
    WindowProbe *window = fx.open();
    window->currentState = from;
    window->updateButtonState();
    window->progressBar->show();
    emit window->engine->errorOccurred(message);

    QCOMPARE(window->currentState, state);
    QCOMPARE(window->statusLabel->text(), status);
    QCOMPARE(window->buttons(), buttons);
    QVERIFY(window->progressBar->isHidden());
    // The arrangement survives a later button update.
    window->updateButtonState();
    QCOMPARE(window->buttons(), buttons);
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
