#include "WindowFixture.h"

#include <QApplication>
#include <QtTest>

WindowFixture::WindowFixture(FakeProduct::Daemon daemon) : product(daemon)
{
    // Start-up decides when the application ends; hiding a test window must not end the test's event loops.
    QApplication::setQuitOnLastWindowClosed(false);
    server.addRoute(PackagePath, LoopbackHttpServer::silence());
}

WindowFixture::~WindowFixture()
{
    for (const QPointer<WindowProbe> &window : windows)
        delete window.data();
}

WindowProbe *WindowFixture::open(const QString &mode, const QString &memo)
{
    auto *window = new WindowProbe;
    windows.append(window);
    window->setUpdateInfo(product.mainExecutable(), QStringLiteral("2.0.0"),
                          server.url(PackagePath).toString(), mode, memo);
    return window;
}

WindowProbe *WindowFixture::openShown(const QString &mode)
{
    WindowProbe *window = open(mode);
    window->show();
    if (!QTest::qWaitForWindowExposed(window))
        qWarning("window not exposed");
    return window;
}
