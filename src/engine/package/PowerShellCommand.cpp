#include "PowerShellCommand.h"

#include "PackageConstants.h"

#include <QByteArray>
#include <QDir>

#include <algorithm>
#include <iterator>

namespace engine {

namespace {

// PowerShell ends a single-quoted string at any of these, not only at ', and reads two of them in a row as
// one literal character (the second): each is doubled with itself, or a folder name could end the string
// and run the rest of itself as code.
const QChar SingleQuoteCharacters[] = {QLatin1Char('\''), QChar(0x2018), QChar(0x2019), QChar(0x201A),
                                       QChar(0x201B)};

bool isSingleQuote(QChar character)
{
    return std::find(std::begin(SingleQuoteCharacters), std::end(SingleQuoteCharacters), character) !=
           std::end(SingleQuoteCharacters);
}

QString singleQuoted(const QString &path)
{
    QString quoted;
    for (const QChar character : QDir::toNativeSeparators(path)) {
        quoted.append(character);
        if (isSingleQuote(character))
            quoted.append(character);
    }
    return quoted;
}

} // namespace

QString expandArchiveScript(const QString &packagePath, const QString &targetFolder)
{
    // One pass: a "%2" inside the package path must not be replaced again.
    return package::ExpandArchiveScript.arg(singleQuoted(packagePath), singleQuoted(targetFolder));
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
