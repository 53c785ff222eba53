#include "PackageKeys.h"

#include "StartupConstants.h"

#include <QDebug>

namespace startup {

QStringList packagePublicKeys(const char *builtInKeys)
{
    const QStringList keys =
        QString::fromLatin1(builtInKeys).split(QLatin1Char(PublicKeySeparator), Qt::SkipEmptyParts);
    if (keys.isEmpty())
        qWarning() << LogPackagesNotSigned;
    return keys;
}

} // namespace startup
