#include "ProductConfig.h"

#include "FileSafety.h"
#include "IniFile.h"
#include "ProductConstants.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>

using namespace product;

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

// config.ini is read only as a regular file of its own: written through a link or a second hard link, an
// elevated updater would change a file outside the program folder.
bool isOwnRegularFile(const QString &path, const platform::EntryStatus &status)
{
    if (status.type == platform::EntryType::Link) {
        qCritical().noquote() << "配置文件是链接，不写入:" << path;
        return false;
    }
    if (status.type != platform::EntryType::File) {
        qCritical().noquote() << "配置文件不是普通文件，不写入:" << path;
        return false;
    }
    if (status.linkCount > 1) {
        qCritical().noquote() << "配置文件有多个硬链接，不写入:" << path << status.linkCount;
        return false;
    }
    return true;
}

bool setKey(IniFile &ini, const QString &settingsKey, const QString &value)
{
    return ini.setValue(sectionOf(settingsKey), keyOf(settingsKey), value);
}

bool removeKey(IniFile &ini, const QString &settingsKey)
{
    return ini.remove(sectionOf(settingsKey), keyOf(settingsKey));
}

QString now()
{
    return QDateTime::currentDateTime().toString(ConfigTimeFormat);
}

bool recordVersion(IniFile &ini, const QString &newVersion)
{
    return setKey(ini, ConfigKeyVersion, newVersion) && removeKey(ini, ConfigKeyLastPromptTime) &&
           removeKey(ini, ConfigKeyLastCheckTime) && setKey(ini, ConfigKeyLastUpdateTime, now()) &&
           setKey(ini, ConfigKeyLastUpdateVersion, newVersion);
}

} // namespace

ProductConfig::ProductConfig(const QString &path) : path(path) {}

bool ProductConfig::recordInstalledVersion(const QString &newVersion) const
{
    qDebug().noquote() << "开始更新配置文件:" << path;
    QString oldVersion;
    const Edit result = edit([&](IniFile &ini) {
        oldVersion = ini.rawValue(sectionOf(ConfigKeyVersion), keyOf(ConfigKeyVersion));
        return recordVersion(ini, newVersion);
    });
    if (result != Edit::Written) {
        qCritical() << (result == Edit::Missing ? "找不到配置文件" : "配置文件更新失败");
        return false;
    }
    qDebug() << "配置文件更新成功";
    qDebug().noquote() << "  旧版本:" << oldVersion;
    qDebug().noquote() << "  新版本:" << newVersion;
    return true;
}

bool ProductConfig::recordFailedVersion(const QString &version) const
{
    const Edit result = edit([&](IniFile &ini) {
        return setKey(ini, ConfigKeyFailedVersion, version) && setKey(ini, ConfigKeyFailedTime, now());
    });
    if (result != Edit::Written) {
        qCritical().noquote() << "无法在配置文件中记录试用失败的版本:" << version;
        return false;
    }
    qWarning().noquote() << "已在配置文件中记录试用失败的版本:" << version;
    return true;
}

// Nothing is written rather than a file the product would read otherwise than intended.
ProductConfig::Edit ProductConfig::edit(const std::function<bool(IniFile &)> &change) const
{
    const platform::EntryStatus status = platform::entryStatus(path.toStdString());
    if (status.type == platform::EntryType::Missing) {
        qWarning().noquote() << "配置文件不存在:" << path;
        return Edit::Missing;
    }
    QByteArray content;
    if (!isOwnRegularFile(path, status) || !read(content))
        return Edit::Failed;
    IniFile ini(content);
    if (!change(ini)) {
        qCritical().noquote() << "配置文件格式无法安全修改:" << path;
        return Edit::Failed;
    }
    return replace(ini.content()) ? Edit::Written : Edit::Failed;
}

QString ProductConfig::installedVersion() const
{
    if (platform::entryStatus(path.toStdString()).type != platform::EntryType::File)
        return QString();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return IniFile(file.readAll()).rawValue(sectionOf(ConfigKeyVersion), keyOf(ConfigKeyVersion)).trimmed();
}

bool ProductConfig::read(QByteArray &content) const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical().noquote() << "无法读取配置文件:" << path << file.errorString();
        return false;
    }
    content = file.readAll();
    return true;
}

// Written unbuffered into a new file, flushed, its size read back and renamed over the old one: a crash
// leaves the old file or the new, never half, and a full disk is reported. The new file keeps the old one's
// owner and permissions, as the product, which may run as the user, needs them.
bool ProductConfig::replace(const QByteArray &content) const
{
    const std::string error = platform::replaceFile(path.toStdString(), content.toStdString());
    if (!error.empty()) {
        qCritical().noquote() << "无法写入配置文件:" << path << QString::fromStdString(error);
        return false;
    }
    return true;
}
