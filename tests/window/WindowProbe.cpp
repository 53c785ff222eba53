#include "WindowProbe.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTimer>

namespace {

// Long enough for a click handled on the event loop; a quit normally arrives within one turn.
constexpr int NoQuitWaitMs = 500;
constexpr int NoQuitCode = 42;

QString describe(const QPushButton *button)
{
    if (button->isHidden())
        return QStringLiteral("-");
    return button->text() + (button->isEnabled() ? QString() : QStringLiteral("(off)"));
}

// Records the exit codes in lists that outlive the window.
class RecordedProcessEnd final : public ProcessEnd
{
public:
    RecordedProcessEnd(std::shared_ptr<QList<int>> endCodes, std::shared_ptr<QList<int>> restartExitCodes)
        : endCodes(std::move(endCodes)), restartExitCodes(std::move(restartExitCodes))
    {
    }
    void terminate(int exitCode) override { endCodes->append(exitCode); }
    void exitAfterRestart(int exitCode) override { restartExitCodes->append(exitCode); }

private:
    const std::shared_ptr<QList<int>> endCodes;
    const std::shared_ptr<QList<int>> restartExitCodes;
};

} // namespace

WindowProbe::WindowProbe() : WindowProbe(std::make_shared<QList<int>>(), std::make_shared<QList<int>>()) {}

WindowProbe::WindowProbe(std::shared_ptr<QList<int>> endCodes, std::shared_ptr<QList<int>> restartExitCodes)
    : UpdaterWindow(std::make_unique<RecordedProcessEnd>(endCodes, restartExitCodes)),
      endCodes(std::move(endCodes)), restartExitCodes(std::move(restartExitCodes))
{
}

QString WindowProbe::buttons() const
{
    return QStringList{describe(updateButton), describe(cancelButton), describe(restartButton),
                       describe(websiteButton)}
        .join(QStringLiteral(" | "));
}

QString WindowProbe::barColour() const
{
    const QString style = progressBar->styleSheet();
    if (style.contains(QStringLiteral("#2196F3")))
        return QStringLiteral("blue");
    if (style.contains(QStringLiteral("#4CAF50")))
        return QStringLiteral("green");
    return QStringLiteral("?");
}

bool WindowProbe::quitsEventLoop(const std::function<void()> &action)
{
    // QCoreApplication::exec, unlike a local QEventLoop, clears the quit flag that an earlier quit left set.
    QObject guard;
    QTimer::singleShot(0, &guard, action);
    QTimer::singleShot(NoQuitWaitMs, &guard, [] { QCoreApplication::exit(NoQuitCode); });
    return QCoreApplication::exec() == 0;
}
