#pragma once

#include "ProcessRun.h"

#include <QImage>
#include <QPoint>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSize>
#include <QString>

#include <functional>

// An X server of its own (Xvfb on a free display number) for tests that must see and press what the
// updater shows, driven with xdotool and photographed with ImageMagick's import. The server ends with
// the object.
class VirtualDisplay final
{
    Q_DISABLE_COPY_MOVE(VirtualDisplay)

public:
    explicit VirtualDisplay(const QSize &screen = QSize(1280, 800));
    ~VirtualDisplay();

    // False when Xvfb could not be started; the reason is in errorText().
    bool isValid() const { return !displayName.isEmpty(); }
    QString errorText() const { return error; }
    QString name() const { return displayName; }

    // The given environment with this display and the X11 platform plugin selected.
    QProcessEnvironment environmentFor(QProcessEnvironment environment) const;

    // The visible top-level window whose title is exactly this text, once it is there within the time
    // limit; 0 when it is not.
    qulonglong waitForWindow(const QString &title, int timeoutMs) const;
    bool pressKey(qulonglong window, const QString &key) const;
    bool click(const QPoint &screenPoint) const;
    QImage screenshot() const;
    // The first screenshot that passes the test within the time limit; a null image when none does.
    QImage waitForScreen(const std::function<bool(const QImage &)> &test, int timeoutMs) const;

private:
    qulonglong findWindow(const QString &title) const;
    ProcessRun runTool(const QString &program, const QStringList &arguments) const;

    QProcess server;
    QString displayName;
    QString error;
};
