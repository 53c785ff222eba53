#include "PowerShellCommand.h"

#include "EngineConstants.h"

#include <QByteArray>
#include <QDir>

namespace engine {

namespace {

QString singleQuoted(const QString &path)
{
    return QDir::toNativeSeparators(path).replace(QLatin1Char('\''), QStringLiteral("''"));
}

} // namespace

QString expandArchiveScript(const QString &packagePath, const QString &targetFolder)
{
    // One pass: a "%2" inside the package path must not be replaced again.
    return ExpandArchiveScript.arg(singleQuoted(packagePath), singleQuoted(targetFolder));
}

QString encodePowerShellCommand(const QString &script)
{
    QByteArray bytes;
    bytes.reserve(script.size() * 2);
    for (const QChar unit : script) {
        bytes.append(static_cast<char>(unit.unicode() & 0xFF));
        bytes.append(static_cast<char>(unit.unicode() >> 8));
    }
    return QString::fromLatin1(bytes.toBase64());
}

} // namespace engine
