#include "PackageManifest.h"

#include "PackageConstants.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>

using namespace package;

namespace {

constexpr int Sha256Bytes = 32;

// Exactly 64 hex digits; the raw bytes, or nothing.
QByteArray sha256FromHex(const QString &text)
{
    const QByteArray latin = text.toLatin1();
    const QByteArray raw = QByteArray::fromHex(latin);
    return raw.size() == Sha256Bytes && raw.toHex() == latin.toLower() ? raw : QByteArray();
}

// The folders above a path, as Windows keys: "A/B/C" gives "A" and "A/B".
QStringList ancestorKeys(const QString &key)
{
    QStringList ancestors;
    for (int slash = key.indexOf(QLatin1Char('/')); slash > 0;
         slash = key.indexOf(QLatin1Char('/'), slash + 1))
        ancestors.append(key.left(slash));
    return ancestors;
}

QString onlyMembers(const QJsonObject &object, const QStringList &allowed)
{
    for (const QString &key : object.keys()) {
        if (!allowed.contains(key))
            return QStringLiteral("未知的成员 ") + key;
    }
    return QString();
}

} // namespace

PackageManifest::PackageManifest(const QString &product, const DottedVersion &version,
                                 const DottedVersion &baseVersion,
                                 const QVector<PackageListing::Entry> &files, const QStringList &removals)
    : productName(product), newVersion(version), base(baseVersion), listedFiles(files), removedPaths(removals)
{
}

bool PackageManifest::read(const QByteArray &json)
{
    *this = PackageManifest();
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    QString reason = error.error != QJsonParseError::NoError ? error.errorString()
                     : !document.isObject()                  ? QStringLiteral("不是 JSON 对象")
                                                             : problemInJson(document.object());
    if (reason.isEmpty())
        reason = problem();
    if (reason.isEmpty())
        return true;
    qWarning().noquote() << "更新包清单无效:" << reason;
    *this = PackageManifest();
    return false;
}

QString PackageManifest::problemInJson(const QJsonObject &object)
{
    const QString unknown =
        onlyMembers(object, {ManifestKeyProduct, ManifestKeyVersion, ManifestKeyBaseVersion, ManifestKeyFiles,
                             ManifestKeyRemove});
    if (!unknown.isEmpty())
        return unknown;
    if (!object.value(ManifestKeyProduct).isString() || !object.value(ManifestKeyVersion).isString())
        return QStringLiteral("缺少产品名称或版本");
    productName = object.value(ManifestKeyProduct).toString();
    newVersion = DottedVersion::fromText(object.value(ManifestKeyVersion).toString());
    if (object.contains(ManifestKeyBaseVersion)) {
        base = DottedVersion::fromText(object.value(ManifestKeyBaseVersion).toString());
        if (!base.isValid())
            return QStringLiteral("基础版本无效");
    }
    const QString files = readFiles(object.value(ManifestKeyFiles));
    return files.isEmpty() ? readRemovals(object.value(ManifestKeyRemove)) : files;
}

QString PackageManifest::readFiles(const QJsonValue &value)
{
    if (!value.isArray())
        return QStringLiteral("缺少文件列表");
    for (const QJsonValue &item : value.toArray()) {
        const QJsonObject file = item.toObject();
        const QString unknown = onlyMembers(file, {ManifestKeyPath, ManifestKeySize, ManifestKeySha256});
        if (!unknown.isEmpty())
            return unknown;
        const QString path = file.value(ManifestKeyPath).toString();
        const double size = file.value(ManifestKeySize).toDouble(-1);
        const QByteArray sha256 = sha256FromHex(file.value(ManifestKeySha256).toString());
        if (!item.isObject() || !file.value(ManifestKeyPath).isString() ||
            !file.value(ManifestKeySize).isDouble() || size < 0 || size > double(MaximumJsonInteger) ||
            std::floor(size) != size || sha256.isEmpty())
            return QStringLiteral("文件条目无效: ") + path;
        listedFiles.append({path, false, qint64(size), 0, sha256});
    }
    return QString();
}

QString PackageManifest::readRemovals(const QJsonValue &value)
{
    if (value.isUndefined())
        return QString();
    if (!value.isArray())
        return QStringLiteral("删除列表不是数组");
    for (const QJsonValue &item : value.toArray()) {
        if (!item.isString())
            return QStringLiteral("删除列表中有非字符串");
        removedPaths.append(item.toString());
    }
    return QString();
}

QString PackageManifest::problem() const
{
    if (productName.isEmpty())
        return QStringLiteral("产品名称为空");
    if (!newVersion.isValid())
        return QStringLiteral("版本无效: ") + newVersion.text();
    if (isDelta() && base.compare(newVersion) >= 0)
        return QStringLiteral("基础版本不低于版本");
    if (listedFiles.isEmpty())
        return QStringLiteral("文件列表为空");
    return pathsProblem();
}

// Every path as safe as a zip entry, none twice or both a file and a folder (as Windows compares names), none
// kept and removed, and the manifest itself in neither list: it never stays in the program folder.
QString PackageManifest::pathsProblem() const
{
    const QString manifestKey = PackageListing::windowsNameKey(ManifestFileName);
    QSet<QString> fileKeys;
    QSet<QString> folderKeys;
    for (const PackageListing::Entry &file : listedFiles) {
        const QString unsafe = PackageListing::unsafePathReason(file.path);
        if (!unsafe.isEmpty())
            return unsafe + QStringLiteral(": ") + file.path;
        const QString key = PackageListing::windowsNameKey(file.path);
        if (key == manifestKey || fileKeys.contains(key))
            return QStringLiteral("重复的条目: ") + file.path;
        fileKeys.insert(key);
        for (const QString &folder : ancestorKeys(key))
            folderKeys.insert(folder);
    }
    for (const QString &key : qAsConst(fileKeys)) {
        if (folderKeys.contains(key))
            return QStringLiteral("文件与文件夹同名: ") + key;
    }
    QSet<QString> removalKeys{manifestKey};
    for (const QString &path : removedPaths) {
        const QString reason = removalProblem(path, fileKeys, folderKeys);
        const QString key = PackageListing::windowsNameKey(path);
        if (!reason.isEmpty() || removalKeys.contains(key))
            return (reason.isEmpty() ? QStringLiteral("重复的条目") : reason) + QStringLiteral(": ") + path;
        removalKeys.insert(key);
    }
    return QString();
}

QString PackageManifest::removalProblem(const QString &path, const QSet<QString> &fileKeys,
                                        const QSet<QString> &folderKeys)
{
    const QString unsafe = PackageListing::unsafePathReason(path);
    if (!unsafe.isEmpty())
        return unsafe;
    const QString key = PackageListing::windowsNameKey(path);
    if (fileKeys.contains(key) || folderKeys.contains(key))
        return QStringLiteral("要删除的路径是清单中的文件或其所在的文件夹");
    for (const QString &folder : ancestorKeys(key)) {
        if (fileKeys.contains(folder))
            return QStringLiteral("要删除的路径在清单中的文件之下");
    }
    return QString();
}

QByteArray PackageManifest::toJson() const
{
    QJsonArray files;
    for (const PackageListing::Entry &file : listedFiles)
        files.append(QJsonObject{{ManifestKeyPath, file.path},
                                 {ManifestKeySize, double(file.size)},
                                 {ManifestKeySha256, QString::fromLatin1(file.sha256.toHex())}});
    QJsonObject object{{ManifestKeyProduct, productName},
                       {ManifestKeyVersion, newVersion.text()},
                       {ManifestKeyFiles, files},
                       {ManifestKeyRemove, QJsonArray::fromStringList(removedPaths)}};
    if (isDelta())
        object.insert(ManifestKeyBaseVersion, base.text());
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}
