#include "UpdaterWindow.h"

#include "WindowStyle.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <cstddef>

namespace {

enum InstallErrorType
{
    Restored = 2,
    NotRestored = 3
};

template <std::size_t N> bool containsAny(const QString &text, const char *const (&words)[N])
{
    for (const char *word : words) {
        if (text.contains(QString::fromUtf8(word)))
            return true;
    }
    return false;
}

} // namespace

void UpdaterWindow::onErrorOccurred(const QString &error)
{
    if (containsAny(error, window::DownloadErrorWords))
        handleDownloadError(error);
    else if (error.contains(QString::fromUtf8(window::RestoredWord)))
        handleInstallError(Restored, error);
    else if (containsAny(error, window::NotRestoredWords))
        handleInstallError(NotRestored, error);
    else
        handleDownloadError(error);
}

void UpdaterWindow::handleDownloadError(const QString &)
{
    currentState = STATE_DOWNLOAD_FAILED;
    progressBar->hide();
    statusLabel->setText(window::StatusDownloadFailed);
    showButton(updateButton, window::RetryText, true);
    showButton(cancelButton, window::CloseText, true);
    restartButton->hide();
    websiteButton->hide();
    connectCloseToQuit();
}

void UpdaterWindow::handleInstallError(int type, const QString &)
{
    progressBar->hide();
    restartButton->hide();
    updateButton->hide();
    const bool restored = type == Restored;
    currentState = restored ? STATE_INSTALL_FAILED : STATE_CRITICAL_ERROR;
    statusLabel->setText(restored ? window::StatusRestored : window::StatusCritical);
    showButton(cancelButton, window::CloseText, true);
    // Only a broken installation needs the manual download page.
    websiteButton->setVisible(!restored);
    connectCloseToQuit();
}

void UpdaterWindow::connectCloseToQuit()
{
    // One handler at most: Retry removes it again before the next download starts.
    QObject::disconnect(quitOnClose);
    quitOnClose = connect(cancelButton, &QPushButton::clicked, this, &QCoreApplication::quit);
}
