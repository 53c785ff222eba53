#pragma once

#include "FakeProduct.h"
#include "LoopbackServer.h"
#include "WindowProbe.h"

#include <QList>
#include <QPointer>

// Windows set up as start-up sets them up, for a fake product whose package URL points at a loopback
// server that never answers. Windows still open are destroyed with the fixture.
class WindowFixture final
{
public:
    explicit WindowFixture(FakeProduct::Daemon daemon = FakeProduct::Daemon::None);
    ~WindowFixture();
    Q_DISABLE_COPY_MOVE(WindowFixture)

    // A window given the update information; the default memo is a short note.
    WindowProbe *open(const QString &mode = QStringLiteral("auto"),
                      const QString &memo = QStringLiteral("Notes"));
    // A window shown on the screen and drawn.
    WindowProbe *openShown(const QString &mode = QStringLiteral("auto"));

    LoopbackServer server;
    FakeProduct product;

private:
    QList<QPointer<WindowProbe>> windows;
};
