#include "DownloadRules.h"

#include "PackageConstants.h"

#include <QUrl>

using namespace package;

QString DownloadRules::refusalReason(const QString &text, const QUrl &url)
{
    if (text.trimmed().isEmpty())
        return RefusedNoUrl;
    if (!url.isValid())
        return RefusedInvalidUrl;
    const QString scheme = url.scheme().toLower();
    if (scheme.isEmpty())
        return RefusedNoScheme;
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return RefusedScheme.arg(scheme);
    if (url.host().isEmpty())
        return RefusedNoHost;
    return QString();
}

int DownloadRules::bytesToReserve(qint64 announcedBytes)
{
    return announcedBytes > 0 ? int(qMin(announcedBytes, MaximumReservedBeforeDataBytes)) : 0;
}
