#include "VirtualDisplay.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTest>

namespace {

const QString ServerProgram = QStringLiteral("Xvfb");
// The server picks a free display number itself and writes it to the given descriptor.
QStringList serverArguments(const QSize &screen)
{
    return {QStringLiteral("-displayfd"),
            QStringLiteral("1"),
            QStringLiteral("-screen"),
            QStringLiteral("0"),
            QStringLiteral("%1x%2x24").arg(screen.width()).arg(screen.height()),
            QStringLiteral("-nolisten"),
            QStringLiteral("tcp")};
}
constexpr int ServerStartMs = 15000;
constexpr int ToolMs = 15000;
constexpr int PollMs = 100;

} // namespace

VirtualDisplay::VirtualDisplay(const QSize &screen)
{
    server.start(ServerProgram, serverArguments(screen));
    if (!server.waitForStarted(ServerStartMs)) {
        error = QStringLiteral("cannot start Xvfb: ") + server.errorString();
        return;
    }
    QElapsedTimer clock;
    clock.start();
    while (!server.canReadLine() && server.state() == QProcess::Running && clock.elapsed() < ServerStartMs)
        server.waitForReadyRead(100);
    const QByteArray number = server.readLine().trimmed();
    if (number.isEmpty()) {
        error = QStringLiteral("Xvfb gave no display number: ") +
                QString::fromLocal8Bit(server.readAllStandardError());
        return;
    }
    displayName = QLatin1Char(':') + QString::fromLatin1(number);
}

VirtualDisplay::~VirtualDisplay()
{
    if (server.state() == QProcess::NotRunning)
        return;
    server.terminate();
    if (!server.waitForFinished(ToolMs))
        server.kill();
    server.waitForFinished(ToolMs);
}

QProcessEnvironment VirtualDisplay::environmentFor(QProcessEnvironment environment) const
{
    environment.insert(QStringLiteral("DISPLAY"), displayName);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return environment;
}

ProcessRun VirtualDisplay::runTool(const QString &program, const QStringList &arguments) const
{
    return runProcess(program, arguments, environmentFor(QProcessEnvironment::systemEnvironment()));
}

// xdotool's own name search does not match non-ASCII titles, so the titles are compared here.
qulonglong VirtualDisplay::findWindow(const QString &title) const
{
    const QByteArray windows =
        runTool(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                            QStringLiteral("--name"), QString()})
            .output;
    for (const QByteArray &window : windows.split('\n')) {
        if (window.isEmpty())
            continue;
        const QByteArray name =
            runTool(QStringLiteral("xdotool"), {QStringLiteral("getwindowname"), QString::fromLatin1(window)})
                .output;
        if (QString::fromUtf8(name).trimmed() == title)
            return window.toULongLong();
    }
    return 0;
}

qulonglong VirtualDisplay::waitForWindow(const QString &title, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    qulonglong window = findWindow(title);
    while (window == 0 && !deadline.hasExpired()) {
        QTest::qWait(PollMs);
        window = findWindow(title);
    }
    return window;
}

bool VirtualDisplay::pressKey(qulonglong window, const QString &key) const
{
    const bool focused =
        runTool(QStringLiteral("xdotool"),
                {QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::number(window)})
            .succeeded();
    const bool pressed = runTool(QStringLiteral("xdotool"), {QStringLiteral("key"), key}).succeeded();
    return focused && pressed;
}

bool VirtualDisplay::click(const QPoint &screenPoint) const
{
    return runTool(QStringLiteral("xdotool"),
                   {QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(screenPoint.x()),
                    QString::number(screenPoint.y()), QStringLiteral("click"), QStringLiteral("1")})
        .succeeded();
}

QImage VirtualDisplay::waitForScreen(const std::function<bool(const QImage &)> &test, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    while (true) {
        const QImage screen = screenshot();
        if (!screen.isNull() && test(screen))
            return screen;
        if (deadline.hasExpired())
            return QImage();
        QTest::qWait(PollMs);
    }
}

QImage VirtualDisplay::screenshot() const
{
    return QImage::fromData(
               runTool(QStringLiteral("import"),
                       {QStringLiteral("-window"), QStringLiteral("root"), QStringLiteral("png:-")})
                   .output,
               "PNG")
        .convertToFormat(QImage::Format_RGB32);
}
