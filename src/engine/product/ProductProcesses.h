#pragma once

#include <QString>
#include <QStringList>

// The product's running processes: its daemon, its server and its main program, ended before the program
// folder is replaced. Windows' own taskkill and tasklist do the work, by image name.
class ProductProcesses final
{
    Q_DISABLE_COPY_MOVE(ProductProcesses)

public:
    explicit ProductProcesses(const QString &appPath);

    // Stops the daemon's service, kills every image once, kills again those still listed; whether the main
    // program is gone. Logs every step.
    bool closeAll() const;

private:
    static void forceKill(const QString &imageName);
    static bool appearsInTaskList(const QString &imageName);
    void killLeftovers() const;

    QString programFolder;
    QString mainImageName;
    QStringList imageNames;
};
