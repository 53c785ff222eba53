#include "UpdaterWindow.h"
UpdaterWindow::UpdaterWindow(QWidget *parent) : QDialog(parent) {}
void UpdaterWindow::setUpdateInfo(const QString &, const QString &, const QString &, const QString &, const QString &) {}
void UpdaterWindow::setExpectedSha256(const QString &) {}
