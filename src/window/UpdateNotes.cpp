#include "UpdaterWindow.h"

#include "UpdateEngine.h"
#include "WindowStyle.h"

#include <QTextEdit>
#include <QTimer>

namespace {

// The information file carries the notes with their escapes still written out.
QString unescapeMemo(QString memo)
{
    memo.replace(QStringLiteral("\\n"), QStringLiteral("\n"));
    memo.replace(QStringLiteral("\\t"), QStringLiteral("\t"));
    memo.replace(QStringLiteral("\\\""), QStringLiteral("\""));
    memo.replace(QStringLiteral("\\\\"), QStringLiteral("\\"));
    return memo;
}

} // namespace

void UpdaterWindow::setUpdateInfo(const QString &appPath, const QString &newVersion,
                                  const QString &downloadUrl, const QString &mode, const QString &memo)
{
    this->appPath = appPath;
    updateMode = mode.toLower();
    engine->setUpdateInfo(appPath, newVersion, downloadUrl);

    const QString notes =
        memo.isEmpty() ? QString::fromUtf8(window::DefaultNotes).arg(newVersion) : unescapeMemo(memo);
    notesEdit->setText(notes);

    if (updateMode == window::ManualMode)
        QTimer::singleShot(window::AutoStartDelayMs, this, &UpdaterWindow::autoStartDownload);
}

void UpdaterWindow::autoStartDownload()
{
    if (currentState != STATE_IDLE)
        return;
    currentState = STATE_DOWNLOADING;
    beginDownload();
}
