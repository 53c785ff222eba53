#pragma once
#include <QDialog>
class UpdaterWindow : public QDialog
{
    Q_OBJECT
public:
    explicit UpdaterWindow(QWidget *parent = nullptr);
    void setUpdateInfo(const QString &appPath, const QString &newVersion, const QString &downloadUrl,
                       const QString &mode, const QString &memo);
    void setExpectedSha256(const QString &sha256);
};
