#pragma once

#include "FakeProduct.h"
#include "LoopbackHttpServer.h"
#include "WindowProbe.h"

#include <QList>
#include <QPointer>
#include <QStringList>

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

    // The package path of the update information; the server receives the request and never answers.
    static inline const QString PackagePath = QStringLiteral("/update.zip");
    static inline const QStringList PackageRequest{QStringLiteral("GET /update.zip")};

    LoopbackHttpServer server;
    FakeProduct product;

private:
    QList<QPointer<WindowProbe>> windows;
};
