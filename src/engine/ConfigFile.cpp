#include "UpdateEngine.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QSettings>

using namespace engine;

bool UpdateEngine::updateConfigFile()
{
    qDebug().noquote() << "开始更新配置文件:" << configPath;
    // The file belongs to the product: a missing one is reported, never created.
    if (!QFile::exists(configPath)) {
        qWarning().noquote() << "配置文件不存在:" << configPath;
        qCritical() << "找不到配置文件";
        return false;
    }
    QSettings settings(configPath, QSettings::IniFormat);
    const QString oldVersion = settings.value(ConfigKeyVersion).toString();
    settings.setValue(ConfigKeyVersion, newVersion);
    settings.remove(ConfigKeyLastPromptTime);
    settings.remove(ConfigKeyLastCheckTime);
    settings.setValue(ConfigKeyLastUpdateTime, QDateTime::currentDateTime().toString(ConfigTimeFormat));
    settings.setValue(ConfigKeyLastUpdateVersion, newVersion);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        qCritical() << "配置文件更新失败";
        return false;
    }
    qDebug() << "配置文件更新成功";
    qDebug().noquote() << "  旧版本:" << oldVersion;
    qDebug().noquote() << "  新版本:" << newVersion;
    return true;
}
