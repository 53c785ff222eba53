#pragma once

#include "UpdateEngine.h"
#include "UpdaterWindow.h"

#include <QList>

#include <functional>
#include <memory>

class QPushButton;

// Opens the window's slots and state to the tests and records, instead of performing, the two ways the
// window ends the process.
class WindowProbe final : public UpdaterWindow
{
public:
    WindowProbe();

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
    std::shared_ptr<QList<int>> endCodes = std::make_shared<QList<int>>();
    std::shared_ptr<QList<int>> restartExitCodes = std::make_shared<QList<int>>();

    // The four buttons as a person sees them, e.g. "Retry | Close | - | -"; a disabled one is marked
    // with a trailing "(off)", a hidden one is "-".
    QString buttons() const;
    // Which phase colour the progress bar has: "blue", "green" or "?".
    QString barColour() const;
    // Runs the action from the event loop and tells whether it ended the application's event loop.
    static bool quitsEventLoop(const std::function<void()> &action);
};
