#pragma once

#include <QString>
#include <QVector>

// A version as the product writes it: whole numbers joined by dots ("2.0.13"), compared number by number with
// missing numbers taken as 0, so "2.0" and "2.0.0" are one version. Anything else is no version at all.
class DottedVersion final
{
public:
    DottedVersion() = default;

    // An invalid version when the text is not dotted numbers (blanks, signs, letters, an empty part).
    static DottedVersion fromText(const QString &text);

    bool isValid() const { return !numbers.isEmpty(); }
    // Below 0, 0 or above 0 as this version is lower, equal or higher; an invalid version is the lowest.
    int compare(const DottedVersion &other) const;
    const QString &text() const { return original; }

private:
    QVector<int> numbers;
    QString original;
};
