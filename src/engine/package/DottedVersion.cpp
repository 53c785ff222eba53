#include "DottedVersion.h"

#include "PackageConstants.h"

#include <QStringList>

#include <algorithm>

using namespace package;

DottedVersion DottedVersion::fromText(const QString &text)
{
    DottedVersion version;
    version.original = text;
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() > MaximumVersionParts)
        return version;
    QVector<int> numbers;
    for (const QString &part : parts) {
        // toInt alone would take blanks and a sign.
        const bool digitsOnly = std::all_of(part.cbegin(), part.cend(), [](QChar c) {
            return c >= QLatin1Char('0') && c <= QLatin1Char('9');
        });
        if (part.isEmpty() || part.size() > MaximumVersionPartDigits || !digitsOnly)
            return version;
        numbers.append(part.toInt());
    }
    version.numbers = numbers;
    return version;
}

int DottedVersion::compare(const DottedVersion &other) const
{
    if (!isValid() || !other.isValid())
        return int(isValid()) - int(other.isValid());
    const int length = qMax(numbers.size(), other.numbers.size());
    for (int at = 0; at < length; ++at) {
        const int mine = numbers.value(at);
        const int theirs = other.numbers.value(at);
        if (mine != theirs)
            return mine < theirs ? -1 : 1;
    }
    return 0;
}
