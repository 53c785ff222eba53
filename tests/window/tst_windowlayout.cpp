#include "WindowFixture.h"

#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QScrollBar>
#include <QtTest>

using W = UpdaterWindow;

namespace {

const QColor PanelColour(0xEF, 0xF6, 0xFF);

// Where a child widget lies in window coordinates.
QRect inWindow(const QWidget *widget, const QWidget *window)
{
    return QRect(widget->mapTo(window, QPoint(0, 0)), widget->size());
}

QColor pixel(const QImage &image, int x, int y)
{
    return image.pixelColor(x, y);
}

// Lets the layouts place the widgets after something was shown or hidden.
void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
}

} // namespace

class WindowLayoutTest : public QObject
{
    Q_OBJECT

private slots:
    void cardSizeAndPanel_data();
    void cardSizeAndPanel();
    void notesFrameIsWhiteInsideThePanel();
    void rowsStayWhenTheProgressBarHides();
    void visibleButtonsAreCentred_data();
    void visibleButtonsAreCentred();
    void placedInTheWorkAreaCorner();
    void longNotesScrollVerticallyOnly();
};

void WindowLayoutTest::cardSizeAndPanel_data()
{
    QTest::addColumn<QPoint>("point");
    QTest::addColumn<bool>("onPanel");

    // The panel covers x 20..449 and y 20..319; the layout margins keep these points free of widgets.
    QTest::newRow("left edge inside") << QPoint(20, 170) << true;
    QTest::newRow("right edge inside") << QPoint(449, 170) << true;
    QTest::newRow("top edge inside") << QPoint(235, 20) << true;
    QTest::newRow("bottom edge inside") << QPoint(235, 319) << true;
    QTest::newRow("left of the panel") << QPoint(19, 170) << false;
    QTest::newRow("right of the panel") << QPoint(450, 170) << false;
    QTest::newRow("above the panel") << QPoint(235, 19) << false;
    QTest::newRow("below the panel") << QPoint(235, 320) << false;
    QTest::newRow("window corner") << QPoint(2, 2) << false;
}

void WindowLayoutTest::cardSizeAndPanel()
{
    QFETCH(QPoint, point);
    QFETCH(bool, onPanel);

    WindowFixture fx;
    WindowProbe *window = fx.openShown();
    QCOMPARE(window->size(), QSize(470, 340));
    const QImage image = window->grab().toImage();
    QCOMPARE(image.size(), QSize(470, 340));
    QCOMPARE(pixel(image, point.x(), point.y()) == PanelColour, onPanel);
}

void WindowLayoutTest::notesFrameIsWhiteInsideThePanel()
{
    WindowFixture fx;
    WindowProbe *window = fx.openShown();
    const QRect frame = inWindow(window->notesEdit->parentWidget(), window);
    QCOMPARE(frame.height(), 110);
    QCOMPARE(frame.left(), 20 + 25);
    QCOMPARE(frame.right(), 449 - 25);
    const QImage image = window->grab().toImage();
    // The frame's inner margin (15 px at the left) is free of text.
    QCOMPARE(pixel(image, frame.left() + 5, frame.center().y()), QColor(Qt::white));
}

void WindowLayoutTest::rowsStayWhenTheProgressBarHides()
{
    WindowFixture fx;
    WindowProbe *window = fx.openShown();
    const auto rows = [window] {
        return QList<QRect>{inWindow(window->statusLabel, window), inWindow(window->cancelButton, window),
                            inWindow(window->updateButton, window)};
    };
    const QList<QRect> hidden = rows();

    window->onUpdateNowClicked();
    // Keep the same buttons visible, so that only the bar differs.
    window->updateButton->show();
    settle();
    QVERIFY(window->progressBar->isVisible());
    QCOMPARE(rows(), hidden);
    QCOMPARE(window->progressBar->height(), 16);
    // A person sees the bar, half filled in blue, between the status line and the buttons, and the panel
    // there once it is hidden.
    const QRect bar = inWindow(window->progressBar, window);
    QVERIFY(bar.top() >= hidden[0].bottom() && bar.bottom() < hidden[1].top());
    window->progressBar->setValue(50);
    const QPoint inFilledPart(bar.left() + bar.width() / 4, bar.center().y());
    QCOMPARE(window->grab().toImage().pixelColor(inFilledPart), QColor(0x21, 0x96, 0xF3));

    window->progressBar->hide();
    settle();
    QCOMPARE(rows(), hidden);
    QCOMPARE(window->grab().toImage().pixelColor(inFilledPart), PanelColour);
}

void WindowLayoutTest::visibleButtonsAreCentred_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("visibleCount");

    QTest::newRow("update now and cancel") << "idle" << 2;
    QTest::newRow("lone cancel (manual)") << "manual" << 1;
    QTest::newRow("retry and close") << "downloadError" << 2;
    QTest::newRow("close and website") << "criticalError" << 2;
    QTest::newRow("lone restart") << "success" << 1;
}

void WindowLayoutTest::visibleButtonsAreCentred()
{
    QFETCH(QString, setup);
    QFETCH(int, visibleCount);

    WindowFixture fx;
    WindowProbe *window = fx.openShown();
    if (setup == QLatin1String("manual")) {
        window->updateMode = QStringLiteral("manual");
        window->updateButtonState();
    } else if (setup == QLatin1String("downloadError")) {
        emit window->engine->errorOccurred(QStringLiteral("下载失败: timeout"));
    } else if (setup == QLatin1String("criticalError")) {
        emit window->engine->errorOccurred(QStringLiteral("安装失败且无法恢复，需要重新安装"));
    } else if (setup == QLatin1String("success")) {
        emit window->engine->updateFinished(true, QString());
    }

    settle();
    QList<QRect> visible;
    for (QPushButton *button :
         {window->updateButton, window->cancelButton, window->restartButton, window->websiteButton}) {
        if (button->isVisible())
            visible.append(inWindow(button, window));
    }
    QCOMPARE(visible.size(), visibleCount);
    for (const QRect &button : visible)
        QCOMPARE(button.size(), QSize(90, 32));
    if (visibleCount == 2)
        QCOMPARE(visible[1].left() - visible[0].right() - 1, 12);
    const int groupCentreTwice = visible.first().left() + visible.last().right() + 1;
    // The panel's centre line lies at x = 20 + 430 / 2 = 235 in the window.
    QVERIFY2(qAbs(groupCentreTwice - 2 * 235) <= 1, qPrintable(QString::number(groupCentreTwice)));
}

void WindowLayoutTest::placedInTheWorkAreaCorner()
{
    WindowFixture fx;
    WindowProbe *window = fx.openShown();
    const QRect workArea = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint expected(workArea.right() - 470 + 19, workArea.bottom() - 340 + 19);
    QTRY_COMPARE(window->pos(), expected);
    // The panel's last column and row lie 2 px inside the work area.
    QCOMPARE(window->pos().x() + 449, workArea.right() - 2);
    QCOMPARE(window->pos().y() + 319, workArea.bottom() - 2);

    window->hide();
    window->move(workArea.topLeft());
    window->show();
    QTRY_COMPARE(window->pos(), expected);
}

void WindowLayoutTest::longNotesScrollVerticallyOnly()
{
    WindowFixture fx;
    WindowProbe *window = fx.openShown();
    const QString longLine = QString(400, QLatin1Char('w'));
    window->notesEdit->setText((longLine + QLatin1Char('\n')).repeated(40));
    QTRY_VERIFY(window->notesEdit->verticalScrollBar()->maximum() > 0);
    QCOMPARE(window->notesEdit->verticalScrollBar()->width(), 6);
    QVERIFY(window->notesEdit->horizontalScrollBar()->height() == 0 ||
            !window->notesEdit->horizontalScrollBar()->isVisible());
    QCOMPARE(window->notesEdit->parentWidget()->height(), 110);
}

QTEST_MAIN(WindowLayoutTest)
#include "tst_windowlayout.moc"
