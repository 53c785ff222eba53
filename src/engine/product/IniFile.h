#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// Edits keys of an INI file in place and keeps every other byte: comments, blank
// lines, a byte-order mark, line ends, key order and the raw values of other keys.
// Lines are split, a byte-order mark passed over and names unescaped the way
// QSettings reads an INI file, so that the keys edited here are the keys QSettings
// sees; the values written are escaped the way QSettings writes them. Section and
// key names match without regard to letter case, as on Windows. Pure: bytes in,
// bytes out.
class IniFile final
{
public:
    explicit IniFile(const QByteArray &content);

    // The raw text after '=' of the key's last occurrence (the one QSettings reads),
    // without unescaping; empty when the key is absent.
    QString rawValue(const QString &section, const QString &key) const;
    // Replaces the value of every occurrence of the key; a missing key is added at the
    // end of the section's last occurrence, a missing section at the end of the file.
    // False, with nothing changed, when the result would not read back as the value
    // (a file that ends inside a quoted or continued value swallows what is added).
    bool setValue(const QString &section, const QString &key, const QString &value);
    // Removes every line that holds the key, with its comment; false, with nothing
    // changed, when the key would still be read.
    bool remove(const QString &section, const QString &key);

    const QByteArray &content() const { return bytes; }

    // A value as QSettings writes it: read back by QSettings it is the same text.
    static QByteArray escapedValue(const QString &value);

private:
    struct Line
    {
        int start;
        int end;
        // -1 for a section header
        int equals;
        QString section;
        QString key;
    };

    void parse();
    bool isOnMarkLine(int position) const;
    QVector<int> linesOf(const QString &section, const QString &key) const;
    int physicalStart(int position) const;
    int physicalEnd(int position) const;
    int lineBreakAt(int position) const;
    QByteArray lineEnd() const;
    void insertKeyLine(const QString &section, const QString &key, const QString &value);

    QByteArray bytes;
    // Past the UTF-8 byte-order mark, or 0
    int dataStart = 0;
    QVector<Line> lines;
};
