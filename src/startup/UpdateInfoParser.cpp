#include "UpdateInfoParser.h"

#include "StartupConstants.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace startup {

namespace {

// Values of any other JSON type read as empty, like a missing key.
UpdateInfo readValues(const QJsonObject &object, const QString &mode)
{
    UpdateInfo info;
    info.appPath = object.value(KeyAppPath).toString();
    info.newVersion = object.value(KeyNewVersion).toString();
    info.downloadUrl = object.value(KeyDownloadUrl).toString();
    info.mode = mode;
    info.memo = object.value(KeyMemo).toString();
    info.sha256 = object.value(KeySha256).toString();
    info.signature = object.value(KeySignature).toString();
    return info;
}

// The version is written into the product's config.ini: a line break or another
// control character in it would end or corrupt the line it is written on.
bool isUsableVersion(const QString &version)
{
    return !version.isEmpty() && std::none_of(version.cbegin(), version.cend(), [](QChar c) {
        const QChar::Category category = c.category();
        return category == QChar::Other_Control || category == QChar::Separator_Line ||
               category == QChar::Separator_Paragraph;
    });
}

bool hasRequiredValues(const UpdateInfo &info)
{
    return !info.appPath.isEmpty() && isUsableVersion(info.newVersion) && !info.downloadUrl.isEmpty();
}

} // namespace

ParsedUpdateInfo parseUpdateInfo(const QByteArray &content, const QString &mode)
{
    const QJsonDocument document = QJsonDocument::fromJson(content);
    if (document.isNull() || !document.isObject())
        return {};
    ParsedUpdateInfo parsed;
    parsed.info = readValues(document.object(), mode);
    parsed.verdict = hasRequiredValues(parsed.info) ? InfoVerdict::Complete : InfoVerdict::Incomplete;
    return parsed;
}

} // namespace startup
