#include "IniFile.h"

namespace {

const QByteArray Utf8ByteOrderMark = QByteArrayLiteral("\xEF\xBB\xBF");

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isLineBreak(char c)
{
    return c == '\n' || c == '\r';
}

// One logical line as QSettings reads it: leading blanks and empty lines skipped,
// comment lines (';' first) skipped, a line goes on across a line break that is
// escaped with '\' or lies inside double quotes, and ends before a ';' outside quotes.
// Returns false at the end of the data.
bool readLogicalLine(const QByteArray &data, int &position, int &lineStart, int &lineEnd, int &equals)
{
    const int size = data.size();
    bool inQuotes = false;
    equals = -1;
    lineStart = position;
    while (lineStart < size && isSpace(data.at(lineStart)))
        ++lineStart;
    int i = lineStart;
    while (i < size) {
        const char c = data.at(i++);
        if (c == '=') {
            if (!inQuotes && equals == -1)
                equals = i - 1;
        } else if (isLineBreak(c)) {
            if (i == lineStart + 1) {
                ++lineStart;
            } else if (!inQuotes) {
                --i;
                break;
            }
        } else if (c == '\\') {
            if (i < size) {
                const char escaped = data.at(i++);
                if (i < size) {
                    const char next = data.at(i);
                    if ((escaped == '\n' && next == '\r') || (escaped == '\r' && next == '\n'))
                        ++i;
                }
            }
        } else if (c == '"') {
            inQuotes = !inQuotes;
        } else if (c == ';') {
            if (i == lineStart + 1) {
                while (i < size && !isLineBreak(data.at(i)))
                    ++i;
                while (i < size && isSpace(data.at(i)))
                    ++i;
                lineStart = i;
            } else if (!inQuotes) {
                --i;
                break;
            }
        }
    }
    position = i;
    lineEnd = i;
    return lineEnd > lineStart;
}

bool isHexDigit(ushort c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// "%XX" and "%UXXXX" escapes, '\' as '/', other bytes as Latin-1, as QSettings reads names.
QString unescapedName(const QByteArray &data, int from, int to)
{
    QString result;
    int i = from;
    while (i < to) {
        const char c = data.at(i);
        if (c == '\\') {
            result += QLatin1Char('/');
            ++i;
            continue;
        }
        if (c != '%' || i == to - 1) {
            result += QLatin1Char(c);
            ++i;
            continue;
        }
        const bool wide = data.at(i + 1) == 'U';
        const int firstDigit = i + (wide ? 2 : 1);
        const int digits = wide ? 4 : 2;
        bool ok = false;
        const int code = firstDigit + digits <= to ? data.mid(firstDigit, digits).toInt(&ok, 16) : 0;
        if (!ok) {
            result += QLatin1Char('%');
            ++i;
            continue;
        }
        result += QChar(code);
        i = firstDigit + digits;
    }
    return result;
}

QString sectionName(const QByteArray &data, int start, int end)
{
    const int close = data.indexOf(']', start);
    const int nameEnd = close == -1 || close >= end ? end : close;
    const QByteArray name = data.mid(start + 1, nameEnd - start - 1).trimmed();
    if (name.compare("general", Qt::CaseInsensitive) == 0)
        return QString();
    if (name.compare("%general", Qt::CaseInsensitive) == 0)
        return QString::fromLatin1(name.mid(1));
    return unescapedName(name, 0, name.size());
}

// Letters, digits and a few marks stay, '/' becomes '\', anything else "%XX" or "%UXXXX".
QByteArray escapedName(const QString &name)
{
    QByteArray result;
    for (const QChar qc : name) {
        const ushort c = qc.unicode();
        if (c == '/') {
            result += '\\';
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                   c == '-' || c == '.') {
            result += char(c);
        } else if (c <= 0xff) {
            result += '%' + QByteArray::number(c, 16).rightJustified(2, '0').toUpper();
        } else {
            result += "%U" + QByteArray::number(c, 16).rightJustified(4, '0').toUpper();
        }
    }
    return result;
}

QByteArray sectionHeader(const QString &section)
{
    if (section.isEmpty())
        return QByteArrayLiteral("[General]");
    if (section.compare(QLatin1String("general"), Qt::CaseInsensitive) == 0)
        return "[%" + section.toLatin1() + ']';
    return '[' + escapedName(section) + ']';
}

} // namespace

IniFile::IniFile(const QByteArray &content) : bytes(content)
{
    parse();
}

// QSettings (Qt 5.15) looks for section headers after a UTF-8 byte-order mark, but reads the keys before
// the first header from the very start of the file: a key on the mark's own line has the mark's three
// bytes, as Latin-1, at the front of its name.
void IniFile::parse()
{
    lines.clear();
    dataStart = bytes.startsWith(Utf8ByteOrderMark) ? Utf8ByteOrderMark.size() : 0;
    QString section;
    int position = dataStart;
    int start = 0;
    int end = 0;
    int equals = -1;
    while (readLogicalLine(bytes, position, start, end, equals)) {
        if (bytes.at(start) == '[') {
            section = sectionName(bytes, start, end);
            lines.append({start, end, -1, section, QString()});
        } else if (equals != -1) {
            int keyEnd = equals;
            while (keyEnd > start && isBlank(bytes.at(keyEnd - 1)))
                --keyEnd;
            const int nameStart = isOnMarkLine(start) ? 0 : start;
            lines.append({start, end, equals, section, unescapedName(bytes, nameStart, keyEnd)});
        }
    }
}

// Whether only blanks stand between the byte-order mark and position.
bool IniFile::isOnMarkLine(int position) const
{
    if (dataStart == 0)
        return false;
    for (int i = dataStart; i < position; ++i) {
        if (!isBlank(bytes.at(i)))
            return false;
    }
    return true;
}

QVector<int> IniFile::linesOf(const QString &section, const QString &key) const
{
    QVector<int> found;
    for (int i = 0; i < lines.size(); ++i) {
        const Line &line = lines.at(i);
        if (line.equals != -1 && line.section.compare(section, Qt::CaseInsensitive) == 0 &&
            line.key.compare(key, Qt::CaseInsensitive) == 0)
            found.append(i);
    }
    return found;
}

QString IniFile::rawValue(const QString &section, const QString &key) const
{
    const QVector<int> found = linesOf(section, key);
    if (found.isEmpty())
        return QString();
    const Line &line = lines.at(found.last());
    return QString::fromUtf8(bytes.mid(line.equals + 1, line.end - line.equals - 1).trimmed());
}

// The start of the physical line that holds position; the byte-order mark stays.
int IniFile::physicalStart(int position) const
{
    while (position > dataStart && !isLineBreak(bytes.at(position - 1)))
        --position;
    return position;
}

// Just past the line break that ends the physical line holding position (a comment
// after the value included), or the end of the data.
int IniFile::physicalEnd(int position) const
{
    while (position < bytes.size() && !isLineBreak(bytes.at(position)))
        ++position;
    if (position < bytes.size() && bytes.at(position) == '\r')
        ++position;
    if (position < bytes.size() && bytes.at(position) == '\n' && bytes.at(position - 1) != '\n')
        ++position;
    return position;
}

// The line break that ends the physical line holding position, or the end of the data.
int IniFile::lineBreakAt(int position) const
{
    while (position < bytes.size() && !isLineBreak(bytes.at(position)))
        ++position;
    return position;
}

// New lines end like the file's first line, or as on Windows when it has none.
QByteArray IniFile::lineEnd() const
{
    const int first = bytes.indexOf('\n');
    if (first == -1)
        return bytes.contains('\r') ? QByteArrayLiteral("\r") : QByteArrayLiteral("\r\n");
    return first > 0 && bytes.at(first - 1) == '\r' ? QByteArrayLiteral("\r\n") : QByteArrayLiteral("\n");
}

bool IniFile::setValue(const QString &section, const QString &key, const QString &value)
{
    const QByteArray original = bytes;
    const QByteArray escaped = escapedValue(value);
    const QVector<int> found = linesOf(section, key);
    if (found.isEmpty())
        insertKeyLine(section, key, value);
    // From the last, so that the positions of the earlier ones stay valid.
    for (auto it = found.crbegin(); it != found.crend(); ++it) {
        const Line &line = lines.at(*it);
        int valueStart = line.equals + 1;
        while (valueStart < line.end && isBlank(bytes.at(valueStart)))
            ++valueStart;
        int valueEnd = line.end;
        while (valueEnd > valueStart && isBlank(bytes.at(valueEnd - 1)))
            --valueEnd;
        bytes.replace(valueStart, valueEnd - valueStart, escaped);
    }
    parse();
    if (!linesOf(section, key).isEmpty() && rawValue(section, key) == QString::fromLatin1(escaped))
        return true;
    bytes = original;
    parse();
    return false;
}

bool IniFile::remove(const QString &section, const QString &key)
{
    const QByteArray original = bytes;
    const QVector<int> found = linesOf(section, key);
    for (auto it = found.crbegin(); it != found.crend(); ++it) {
        const Line &line = lines.at(*it);
        const int start = physicalStart(line.start);
        // On the byte-order mark's line the line break stays: the next line would take the mark into its
        // key's name.
        const int end = isOnMarkLine(line.start) ? lineBreakAt(line.end) : physicalEnd(line.end);
        bytes.remove(start, end - start);
    }
    parse();
    if (linesOf(section, key).isEmpty())
        return true;
    bytes = original;
    parse();
    return false;
}

void IniFile::insertKeyLine(const QString &section, const QString &key, const QString &value)
{
    const QByteArray eol = lineEnd();
    const QByteArray keyLine = escapedName(key) + '=' + escapedValue(value) + eol;
    int lastOfSection = -1;
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).section.compare(section, Qt::CaseInsensitive) == 0 &&
            (lines.at(i).equals != -1 || !section.isEmpty()))
            lastOfSection = i;
    }
    if (lastOfSection == -1) {
        if (bytes.size() > dataStart && !isLineBreak(bytes.at(bytes.size() - 1)))
            bytes += eol;
        bytes += sectionHeader(section) + eol + keyLine;
        return;
    }
    int position = physicalEnd(lines.at(lastOfSection).end);
    if (position == bytes.size() && (bytes.isEmpty() || !isLineBreak(bytes.at(bytes.size() - 1)))) {
        bytes += eol;
        position = bytes.size();
    }
    bytes.insert(position, keyLine);
}

QByteArray IniFile::escapedValue(const QString &value)
{
    // A leading '@' marks a typed value for QSettings; "@@" reads back as "@".
    const QString text = value.startsWith(QLatin1Char('@')) ? QLatin1Char('@') + value : value;
    QByteArray result;
    bool needsQuotes = false;
    // After "\x.." a hex digit would be read as part of the escape.
    bool escapeNextIfHexDigit = false;
    for (const QChar qc : text) {
        const ushort c = qc.unicode();
        if (c == ';' || c == ',' || c == '=')
            needsQuotes = true;
        if (escapeNextIfHexDigit && isHexDigit(c)) {
            result += "\\x" + QByteArray::number(c, 16);
            continue;
        }
        escapeNextIfHexDigit = false;
        switch (c) {
        case '\0':
            result += "\\0";
            escapeNextIfHexDigit = true;
            break;
        case '\a':
            result += "\\a";
            break;
        case '\b':
            result += "\\b";
            break;
        case '\f':
            result += "\\f";
            break;
        case '\n':
            result += "\\n";
            break;
        case '\r':
            result += "\\r";
            break;
        case '\t':
            result += "\\t";
            break;
        case '\v':
            result += "\\v";
            break;
        case '"':
        case '\\':
            result += '\\';
            result += char(c);
            break;
        default:
            // Beyond ASCII as an escape: the file's own encoding is unknown.
            if (c <= 0x1f || c >= 0x7f) {
                result += "\\x" + QByteArray::number(c, 16);
                escapeNextIfHexDigit = true;
            } else {
                result += char(c);
            }
        }
    }
    if (needsQuotes || result.startsWith(' ') || result.endsWith(' '))
        result = '"' + result + '"';
    return result;
}
