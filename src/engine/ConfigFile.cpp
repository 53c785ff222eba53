#include "IniFile.h"
#include "UpdateEngine.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

using namespace engine;

namespace {

// "App/Version" as section "App" and key "Version".
QString sectionOf(const QString &settingsKey)
{
    return settingsKey.section(QLatin1Char('/'), 0, 0);
}

QString keyOf(const QString &settingsKey)
{
    return settingsKey.section(QLatin1Char('/'), 1);
}

bool readConfig(const QString &path, QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical().noquote() << "无法读取配置文件:" << path << file.errorString();
        return false;
    }
    content = file.readAll();
    return true;
}

// A new file, flushed, renamed over the old one: a crash leaves the old file or the new, never half.
// QSaveFile refuses a read-only file and gives the new one the old one's permissions.
bool replaceConfig(const QString &path, const QByteArray &content)
{
    const QFileInfo existing(path);
    // Written through a link, an elevated updater would change a file outside the program folder.
    if (existing.isSymbolicLink()) {
        qCritical().noquote() << "配置文件是链接，不写入:" << path;
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        qCritical().noquote() << "无法写入配置文件:" << path << file.errorString();
        return false;
    }
    return true;
}

} // namespace

bool UpdateEngine::updateConfigFile()
{
    qDebug().noquote() << "开始更新配置文件:" << configPath;
    // The file belongs to the product: a missing one is reported, never created.
    if (!QFile::exists(configPath)) {
        qWarning().noquote() << "配置文件不存在:" << configPath;
        qCritical() << "找不到配置文件";
        return false;
    }
    QByteArray content;
    if (!readConfig(configPath, content)) {
        qCritical() << "配置文件更新失败";
        return false;
    }
    IniFile ini(content);
    const QString oldVersion = ini.rawValue(sectionOf(ConfigKeyVersion), keyOf(ConfigKeyVersion));
    const auto set = [&ini](const QString &settingsKey, const QString &value) {
        return ini.setValue(sectionOf(settingsKey), keyOf(settingsKey), value);
    };
    const auto remove = [&ini](const QString &settingsKey) {
        return ini.remove(sectionOf(settingsKey), keyOf(settingsKey));
    };
    const bool edited =
        set(ConfigKeyVersion, newVersion) && remove(ConfigKeyLastPromptTime) &&
        remove(ConfigKeyLastCheckTime) &&
        set(ConfigKeyLastUpdateTime, QDateTime::currentDateTime().toString(ConfigTimeFormat)) &&
        set(ConfigKeyLastUpdateVersion, newVersion);
    // Nothing is written rather than a file the product would read otherwise than intended.
    if (!edited) {
        qCritical().noquote() << "配置文件格式无法安全修改:" << configPath;
        qCritical() << "配置文件更新失败";
        return false;
    }
    if (!replaceConfig(configPath, ini.content())) {
        qCritical() << "配置文件更新失败";
        return false;
    }
    qDebug() << "配置文件更新成功";
    qDebug().noquote() << "  旧版本:" << oldVersion;
    qDebug().noquote() << "  新版本:" << newVersion;
    return true;
}
