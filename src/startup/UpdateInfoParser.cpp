#include "UpdateInfoParser.h"

#include "StartupConstants.h"
#include "TransactionConstants.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace startup {

namespace {

// Absent: the default trial. A whole number from 0 to the maximum, as a JSON number or a string of digits;
// anything else is -1, a bad value.
int readTrialSeconds(const QJsonValue &value)
{
    using namespace transaction;
    if (value.isUndefined())
        return DefaultTrialSeconds;
    double seconds = -1;
    if (value.isDouble()) {
        seconds = value.toDouble();
    } else if (value.isString()) {
        const QString digits = value.toString();
        const bool allDigits = !digits.isEmpty() && std::all_of(digits.cbegin(), digits.cend(), [](QChar c) {
            return c >= QLatin1Char('0') && c <= QLatin1Char('9');
        });
        bool fits = false;
        const int parsed = digits.toInt(&fits);
        seconds = allDigits && fits ? parsed : -1;
    }
    const bool whole = seconds >= 0 && seconds <= MaximumTrialSeconds && seconds == static_cast<int>(seconds);
    return whole ? static_cast<int>(seconds) : -1;
}

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
    info.trialSeconds = readTrialSeconds(object.value(KeyTrialSeconds));
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
    return !info.appPath.isEmpty() && isUsableVersion(info.newVersion) && !info.downloadUrl.isEmpty() &&
           info.trialSeconds >= 0;
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
