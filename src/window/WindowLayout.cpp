#include "UpdaterWindow.h"

#include "WindowStyle.h"

#include <QColor>
#include <QFrame>
#include <QGraphicsDropShadowEffect>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTextEdit>
#include <QVBoxLayout>

namespace {

void addShadow(QWidget *widget, int blurRadius, int offsetY, const int (&rgba)[4])
{
    auto *shadow = new QGraphicsDropShadowEffect(widget);
    shadow->setBlurRadius(blurRadius);
    shadow->setOffset(0, offsetY);
    shadow->setColor(QColor(rgba[0], rgba[1], rgba[2], rgba[3]));
    widget->setGraphicsEffect(shadow);
}

QPushButton *makeButton(const char *text, const char *style, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setFixedSize(window::ButtonWidth, window::ButtonHeight);
    button->setStyleSheet(style);
    return button;
}

} // namespace

void UpdaterWindow::setupUI()
{
    setFixedSize(window::WindowWidth, window::WindowHeight);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);

    auto *backgroundPanel = new QWidget(this);
    backgroundPanel->setFixedSize(window::PanelWidth, window::PanelHeight);
    backgroundPanel->move(window::PanelX, window::PanelY);
    addShadow(backgroundPanel, window::PanelShadowBlur, window::PanelShadowOffsetY, window::PanelShadowRgba);

    auto *mainLayout = new QVBoxLayout(backgroundPanel);
    mainLayout->setContentsMargins(window::PanelMarginLeft, window::PanelMarginTop, window::PanelMarginRight,
                                   window::PanelMarginBottom);
    mainLayout->setSpacing(0);

    auto *titleLabel = new QLabel(window::TitleText, backgroundPanel);
    mainLayout->addSpacing(window::SpacingAboveTitle);
    mainLayout->addWidget(titleLabel);
    mainLayout->addSpacing(window::SpacingBelowTitle);

    auto *notesFrame = new QFrame(backgroundPanel);
    notesFrame->setFixedHeight(window::NotesFrameHeight);
    notesFrame->setStyleSheet(window::NotesFrameStyle);
    addShadow(notesFrame, window::NotesShadowBlur, window::NotesShadowOffsetY, window::NotesShadowRgba);
    auto *notesLayout = new QVBoxLayout(notesFrame);
    notesLayout->setContentsMargins(window::NotesMarginLeft, window::NotesMarginTop, window::NotesMarginRight,
                                    window::NotesMarginBottom);
    notesEdit = new QTextEdit(notesFrame);
    notesEdit->setReadOnly(true);
    notesEdit->setStyleSheet(window::NotesEditStyle);
    notesLayout->addWidget(notesEdit);
    mainLayout->addWidget(notesFrame);
    mainLayout->addSpacing(window::SpacingBelowNotes);

    statusLabel = new QLabel(window::StatusReady, backgroundPanel);
    statusLabel->setFixedHeight(window::StatusLabelHeight);
    statusLabel->setStyleSheet(window::StatusLabelStyle);
    mainLayout->addWidget(statusLabel);

    auto *progressContainer = new QWidget(backgroundPanel);
    progressContainer->setFixedHeight(window::ProgressContainerHeight);
    auto *containerLayout = new QVBoxLayout(progressContainer);
    containerLayout->setContentsMargins(0, 0, 0, 0);
    containerLayout->setSpacing(0);
    progressBar = new QProgressBar(progressContainer);
    progressBar->setFixedHeight(window::ProgressBarHeight);
    progressBar->setRange(0, window::ProgressMaximum);
    applyProgressColour(window::DownloadColour);
    progressBar->hide();
    containerLayout->addWidget(progressBar);
    mainLayout->addWidget(progressContainer);
    mainLayout->addSpacing(window::SpacingAboveButtons);

    auto *buttonRow = new QHBoxLayout;
    buttonRow->setSpacing(window::ButtonSpacing);
    buttonRow->setContentsMargins(0, 0, 0, 0);
    updateButton = makeButton(window::UpdateNowText, window::BlueButtonStyle, backgroundPanel);
    cancelButton = makeButton(window::CancelText, window::GreyButtonStyle, backgroundPanel);
    restartButton = makeButton(window::RestartText, window::GreenButtonStyle, backgroundPanel);
    restartButton->hide();
    websiteButton = makeButton(window::WebsiteText, window::OrangeButtonStyle, backgroundPanel);
    websiteButton->hide();
    // The stretches on both sides keep the visible buttons centred as a group.
    buttonRow->addStretch();
    for (QPushButton *button : {updateButton, cancelButton, restartButton, websiteButton})
        buttonRow->addWidget(button);
    buttonRow->addStretch();
    mainLayout->addLayout(buttonRow);

    // Applied once the children have their own sheets: set earlier, Qt keeps the notes' scroll bar at the
    // style's default width instead of the thin one.
    backgroundPanel->setStyleSheet(window::PanelStyle);
}

void UpdaterWindow::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    const QRect workArea = QGuiApplication::primaryScreen()->availableGeometry();
    move(workArea.right() - width() + window::ScreenEdgeOverhang,
         workArea.bottom() - height() + window::ScreenEdgeOverhang);
}
