#pragma once

#include "UpdateEngine.h"
#include "UpdaterWindow.h"

#include <QLabel>
#include <QList>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>

#include <functional>
#include <memory>

// Opens the window's slots and state, widget types included, to the tests (the window's one friend) and
// records, instead of performing, the two ways the window ends the process.
class WindowProbe final : public UpdaterWindow
{
public:
    WindowProbe();

    // Every state, and names indexed by state to label table rows with.
    static constexpr int AllStates[] = {STATE_IDLE,          STATE_DOWNLOADING,     STATE_INSTALLING,
                                        STATE_SUCCESS,       STATE_DOWNLOAD_FAILED, STATE_INSTALL_FAILED,
                                        STATE_CRITICAL_ERROR};
    static constexpr const char *StateNames[] = {
        "idle", "downloading", "installing", "success", "download failed", "install failed", "critical"};

    using UpdaterWindow::autoStartDownload;
    using UpdaterWindow::closeEvent;
    using UpdaterWindow::countdownTick;
    using UpdaterWindow::onCancelClicked;
    using UpdaterWindow::onInstallProgress;
    using UpdaterWindow::onProgressChanged;
    using UpdaterWindow::onReadyToInstall;
    using UpdaterWindow::onStatusChanged;
    using UpdaterWindow::onUpdateFinished;
    using UpdaterWindow::onUpdateNowClicked;
    using UpdaterWindow::restartApplication;
    using UpdaterWindow::updateButtonState;

    using UpdaterWindow::cancelButton;
    using UpdaterWindow::currentState;
    using UpdaterWindow::engine;
    using UpdaterWindow::notesEdit;
    using UpdaterWindow::progressBar;
    using UpdaterWindow::restartButton;
    using UpdaterWindow::restartCountdown;
    using UpdaterWindow::serviceInstall;
    using UpdaterWindow::statusLabel;
    using UpdaterWindow::updateButton;
    using UpdaterWindow::updateMode;
    using UpdaterWindow::websiteButton;

    // Exit codes passed to the process end of the destructor and to the exit after the restart. Shared, so
    // that they can be read after the window is gone.
    const std::shared_ptr<QList<int>> endCodes;
    const std::shared_ptr<QList<int>> restartExitCodes;

    // The four buttons as a person sees them, e.g. "Retry | Close | - | -"; a disabled one is marked
    // with a trailing "(off)", a hidden one is "-".
    QString buttons() const;
    // Which phase colour the progress bar has: "blue", "green" or "?".
    QString barColour() const;
    // Runs the action from the event loop and tells whether it ended the application's event loop.
    static bool quitsEventLoop(const std::function<void()> &action);

private:
    WindowProbe(std::shared_ptr<QList<int>> endCodes, std::shared_ptr<QList<int>> restartExitCodes);
};
