#pragma once

// Everything the updater window shows or waits for: sizes, colours, style
// sheets, texts and timers, kept in one place.

namespace window {

// Sizes and positions, in pixels
inline constexpr int WindowWidth = 470;
inline constexpr int WindowHeight = 340;
inline constexpr int PanelX = 20;
inline constexpr int PanelY = 20;
inline constexpr int PanelWidth = 430;
inline constexpr int PanelHeight = 300;
inline constexpr int PanelMarginLeft = 25;
inline constexpr int PanelMarginTop = 25;
inline constexpr int PanelMarginRight = 25;
inline constexpr int PanelMarginBottom = 15;
inline constexpr int SpacingAboveTitle = 5;
inline constexpr int SpacingBelowTitle = 12;
inline constexpr int SpacingBelowNotes = 10;
inline constexpr int SpacingAboveButtons = 8;
inline constexpr int NotesFrameHeight = 110;
inline constexpr int NotesMarginLeft = 15;
inline constexpr int NotesMarginTop = 15;
inline constexpr int NotesMarginRight = 10;
inline constexpr int NotesMarginBottom = 15;
inline constexpr int StatusLabelHeight = 24;
// The container keeps its height while the bar inside it is hidden, so the rows below never move.
inline constexpr int ProgressContainerHeight = 20;
inline constexpr int ProgressBarHeight = 16;
inline constexpr int ButtonSpacing = 12;
inline constexpr int ButtonWidth = 90;
inline constexpr int ButtonHeight = 32;
// The transparent margin around the panel overhangs the work area by this much, leaving the card 2 px
// from the work area's right and bottom edges.
inline constexpr int ScreenEdgeOverhang = 19;

// Shadows: blur radius, offset, colour (RGBA)
inline constexpr int PanelShadowBlur = 15;
inline constexpr int PanelShadowOffsetY = 0;
inline constexpr int PanelShadowRgba[4] = {100, 100, 100, 50};
inline constexpr int NotesShadowBlur = 8;
inline constexpr int NotesShadowOffsetY = 2;
inline constexpr int NotesShadowRgba[4] = {0, 0, 0, 25};

// Progress bar
inline constexpr int ProgressMaximum = 100;
inline constexpr int InstallPhaseStartPercent = 70;
inline constexpr char DownloadColour[] = "#2196F3";
inline constexpr char InstallColour[] = "#4CAF50";
// %1 is the colour of the filled part.
inline constexpr char ProgressBarStyleTemplate[] =
    "QProgressBar { border: 1px solid #e0e0e0; border-radius: 6px; text-align: center; font-size: 11px; }"
    "QProgressBar::chunk { background-color: %1; border-radius: 5px; }";

// Style sheets
inline constexpr char PanelStyle[] = "QWidget { background-color: #EFF6FF; border-radius: 10px; }";
inline constexpr char NotesFrameStyle[] = "QFrame { background-color: white; border-radius: 10px; }";
inline constexpr char NotesEditStyle[] =
    "QTextEdit { border: none; background: transparent; font-size: 13px; padding: 2px; line-height: 1.4;"
    " margin-right: 2px; }"
    "QScrollBar:vertical { border: none; background: #f5f5f5; width: 6px; border-radius: 3px;"
    " margin: 1px 0px 1px 0px; }"
    "QScrollBar::handle:vertical { background: #c1c1c1; border-radius: 3px; min-height: 20px; }"
    "QScrollBar::handle:vertical:hover { background: #a8a8a8; }"
    "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { border: none; background: none;"
    " height: 0px; }"
    "QScrollBar:horizontal { height: 0px; }";
inline constexpr char StatusLabelStyle[] = "color: #666; font-size: 12px; padding: 4px 0;";
inline constexpr char BlueButtonStyle[] =
    "QPushButton { background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #4dabf7, stop:1 #2196F3);"
    " color: white; border: none; border-radius: 8px; font-size: 13px; font-weight: bold; }"
    "QPushButton:hover { background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #3d9bef,"
    " stop:1 #1976D2); }"
    "QPushButton:pressed { background-color: #0D47A1; }"
    "QPushButton:disabled { background-color: #cccccc; }";
inline constexpr char GreyButtonStyle[] =
    "QPushButton { background-color: #f5f5f5; color: #555; border: 1px solid #e0e0e0; border-radius: 8px;"
    " font-size: 13px; font-weight: 500; }"
    "QPushButton:hover { background-color: #eaeaea; border-color: #d0d0d0; }"
    "QPushButton:pressed { background-color: #e0e0e0; }"
    "QPushButton:disabled { background-color: #f8f8f8; color: #aaa; border-color: #e8e8e8; }";
inline constexpr char GreenButtonStyle[] =
    "QPushButton { background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #66bb6a, stop:1 #4CAF50);"
    " color: white; border: none; border-radius: 8px; font-size: 13px; font-weight: bold; }"
    "QPushButton:hover { background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #5cb060,"
    " stop:1 #388E3C); }"
    "QPushButton:pressed { background-color: #2E7D32; }";
inline constexpr char OrangeButtonStyle[] =
    "QPushButton { background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #FF9800, stop:1 #F57C00);"
    " color: white; border: none; border-radius: 8px; font-size: 13px; font-weight: bold; }"
    "QPushButton:hover { background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #F57C00,"
    " stop:1 #E65100); }"
    "QPushButton:pressed { background-color: #BF360C; }";

// Texts
inline constexpr char TitleText[] =
    "<span style='font-size: 18px; font-weight: bold;'>Quillon Update Available</span>";
inline constexpr char UpdateNowText[] = "Update Now";
inline constexpr char RetryText[] = "Retry";
inline constexpr char CancelText[] = "Cancel";
inline constexpr char InstallingText[] = "Installing...";
inline constexpr char CloseText[] = "Close";
inline constexpr char RestartText[] = "Restart";
inline constexpr char RestartCountdownText[] = "Restart (%1)";
inline constexpr char WebsiteText[] = "Website";
inline constexpr char StatusReady[] = "Ready";
inline constexpr char StatusConnecting[] = "Connecting...";
inline constexpr char StatusDownloadCancelled[] = "Download cancelled";
inline constexpr char StatusInstalling[] = "Download complete, installing...";
inline constexpr char StatusSucceeded[] = "Update successful! Restarting...";
inline constexpr char StatusDownloadFailed[] = "Download failed";
// %1 is the attempt, %2 the attempts the engine makes in a row.
inline constexpr char StatusReconnecting[] = "网络中断，正在重新连接…（第 %1/%2 次）";
inline constexpr char StatusRestored[] = "Update failed, restored to previous version";
inline constexpr char StatusCritical[] = "Critical error! Please download from website";
inline constexpr char StatusRestarting[] = "Restarting application...";
// %1 is the new version.
inline constexpr char DefaultNotes[] =
    "Version: %1\n\nUpdate Notes:\n"
    "1. Optimized installation logic; closes main program after validation\n"
    "2. Added operation protection during installation\n"
    "3. Fixed stability issues";
inline constexpr char ManualMode[] = "manual";
inline constexpr char DefaultMode[] = "auto";

// Words in the engine's error messages; the first hit decides the presentation, download words first.
inline constexpr const char *DownloadErrorWords[] = {"下载失败", "下载中断", "网络错误", "连接失败"};
inline constexpr char RestoredWord[] = "已恢复原版本";
inline constexpr const char *NotRestoredWords[] = {"无法恢复", "需要重新安装"};

// Timers, in milliseconds
inline constexpr int AutoStartDelayMs = 100;
inline constexpr int InstallStartDelayMs = 300;
inline constexpr int CountdownTickMs = 1000;
inline constexpr int RestartCountdownSeconds = 5;
// The daemon's commands and their time limits are the engine's (EngineConstants.h): it runs them too.
inline constexpr int MainProgramDelayMs = 2000;

// Set at build time (FARLINK_DOWNLOAD_PAGE_URL in CMake).
inline constexpr char DownloadPageUrl[] = FARLINK_DOWNLOAD_PAGE_URL;

} // namespace window
