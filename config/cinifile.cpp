#include "cinifile.h"

#include <limits>

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringEncoder>

#include "cwholefile.h"

namespace {

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

// "[name]" after optional blanks; the name runs to the first ']' (or the end of the line).
bool parseSection(const QString &text, QString *name)
{
    const QString t = text.trimmed();
    if (!t.startsWith(QLatin1Char('[')))
        return false;
    int close = t.indexOf(QLatin1Char(']'));
    if (close < 0)
        close = t.size();
    *name = t.mid(1, close - 1).trimmed();
    return true;
}

// "key=value"; comment lines (';' or '#') and lines without '=' are not keys.
bool parseKey(const QString &text, QString *key, int *equals)
{
    const QString t = text.trimmed();
    if (t.isEmpty() || t.startsWith(QLatin1Char(';')) || t.startsWith(QLatin1Char('#'))
        || t.startsWith(QLatin1Char('[')))
        return false;
    const int eq = text.indexOf(QLatin1Char('='));
    if (eq < 0)
        return false;
    *key = text.left(eq).trimmed();
    *equals = eq;
    return !key->isEmpty();
}

bool hasLineBreak(const QString &text)
{
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
}

} // namespace

CIniFile::CIniFile(const QString &path)
    : filePath(path)
{
}

CIniFile::Status CIniFile::load()
{
    lines.clear();
    bom.clear();
    utf16 = false;
    bigEndian = false;
    newLine = QByteArrayLiteral("\n");

    QFile file(filePath);
    if (!file.exists()) {
        loadStatus = Missing;
        return loadStatus;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        loadStatus = Unreadable;
        return loadStatus;
    }
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        loadStatus = Unreadable;
        return loadStatus;
    }
    return parse(data);
}

CIniFile::Status CIniFile::parse(QByteArray data)
{
    lines.clear();
    bom.clear();
    utf16 = false;
    bigEndian = false;
    newLine = QByteArrayLiteral("\n");
    if (data.startsWith("\xFF\xFE") || data.startsWith("\xFE\xFF")) {
        utf16 = true;
        bigEndian = data.startsWith("\xFE\xFF");
        bom = data.left(2);
        QStringDecoder decoder(bigEndian ? QStringConverter::Utf16BE : QStringConverter::Utf16LE);
        const QString text = decoder(data.mid(2));
        // Split on the decoded text; raw is unused for these files.
        const QStringList parts = text.split(QLatin1Char('\n'));
        for (int i = 0; i < parts.size(); ++i) {
            Line line;
            line.text = parts.at(i);
            if (i + 1 < parts.size()) {
                line.end = "\n";
                if (line.text.endsWith(QLatin1Char('\r'))) {
                    line.text.chop(1);
                    line.end = "\r\n";
                }
            }
            lines.append(line);
        }
    } else {
        if (data.startsWith("\xEF\xBB\xBF")) {
            bom = data.left(3);
            data.remove(0, 3);
        }
        const QList<QByteArray> parts = data.split('\n');
        for (int i = 0; i < parts.size(); ++i) {
            Line line;
            line.raw = parts.at(i);
            if (i + 1 < parts.size()) {
                line.end = "\n";
                if (line.raw.endsWith('\r')) {
                    line.raw.chop(1);
                    line.end = "\r\n";
                }
            }
            line.text = decode(line.raw);
            lines.append(line);
        }
    }
    // A file ending in a line break leaves an empty piece behind, which is no line.
    if (!lines.isEmpty() && lines.constLast().end.isEmpty() && lines.constLast().text.isEmpty())
        lines.removeLast();

    for (const Line &line : std::as_const(lines)) {
        if (!line.end.isEmpty()) {
            newLine = line.end;
            break;
        }
    }
    loadStatus = Loaded;
    return loadStatus;
}

QString CIniFile::decode(const QByteArray &raw) const
{
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString text = decoder(raw);
    if (decoder.hasError())
        return QString::fromLatin1(raw);
    return text;
}

int CIniFile::findSection(const QString &section) const
{
    QString name;
    for (int i = 0; i < lines.size(); ++i) {
        if (parseSection(lines.at(i).text, &name)
            && name.compare(section.trimmed(), Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

int CIniFile::findKey(int sectionLine, const QString &key) const
{
    QString name;
    int equals = 0;
    for (int i = sectionLine + 1; i < lines.size(); ++i) {
        const QString &text = lines.at(i).text;
        if (parseSection(text, &name))
            break;
        if (parseKey(text, &name, &equals) && name.compare(key.trimmed(), Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

int CIniFile::findKeyLine(const QString &section, const QString &key) const
{
    const int s = findSection(section);
    return s < 0 ? -1 : findKey(s, key);
}

bool CIniFile::contains(const QString &section, const QString &key) const
{
    return findKeyLine(section, key) >= 0;
}

QString CIniFile::value(
    const QString &section, const QString &key, const QString &defaultValue) const
{
    const int k = findKeyLine(section, key);
    if (k < 0)
        return defaultValue;
    const QString &text = lines.at(k).text;
    QString v = text.mid(text.indexOf(QLatin1Char('=')) + 1).trimmed();
    // The profile read drops one pair of enclosing quotes.
    if (v.size() >= 2 && (v.front() == QLatin1Char('"') || v.front() == QLatin1Char('\''))
        && v.back() == v.front()) {
        v = v.mid(1, v.size() - 2);
    }
    return v;
}

QList<CIniFile::Entry> CIniFile::entries(QList<int> *stray) const
{
    QList<Entry> found;
    QString section;
    int sectionLine = 0;
    QString name;
    int equals = 0;
    for (int i = 0; i < lines.size(); ++i) {
        const QString &text = lines.at(i).text;
        if (parseSection(text, &name)) {
            section = name;
            sectionLine = i + 1;
        } else if (parseKey(text, &name, &equals)) {
            found.append({ i + 1, section, sectionLine, name, text.mid(equals + 1).trimmed() });
        } else {
            const QString t = text.trimmed();
            if (stray && !t.isEmpty() && !t.startsWith(QLatin1Char(';'))
                && !t.startsWith(QLatin1Char('#')))
                stray->append(i + 1);
        }
    }
    return found;
}

int CIniFile::intValue(const QString &section, const QString &key, int defaultValue) const
{
    if (!contains(section, key))
        return defaultValue;
    return parseInt(value(section, key, QString()));
}

int CIniFile::parseInt(const QString &text)
{
    int i = 0;
    while (i < text.size() && isBlank(text.at(i)))
        ++i;
    bool negative = false;
    if (i < text.size() && (text.at(i) == QLatin1Char('-') || text.at(i) == QLatin1Char('+'))) {
        negative = text.at(i) == QLatin1Char('-');
        ++i;
    }
    // Saturate instead of overflowing on absurdly long numbers.
    const qint64 limit = negative ? -qint64(std::numeric_limits<int>::min())
                                  : qint64(std::numeric_limits<int>::max());
    qint64 result = 0;
    for (; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            break;
        result = qMin(result * 10 + (c.unicode() - '0'), limit);
    }
    return int(negative ? -result : result);
}

void CIniFile::insertLine(int index, const QString &text)
{
    if (index > 0 && lines.at(index - 1).end.isEmpty())
        lines[index - 1].end = newLine;
    Line line;
    line.text = text;
    line.end = newLine;
    line.edited = true;
    lines.insert(index, line);
}

bool CIniFile::setValue(const QString &section, const QString &key, const QString &value)
{
    // A line break would end the line early and let the rest pass for other keys.
    if (hasLineBreak(section) || hasLineBreak(key) || hasLineBreak(value))
        return false;
    if (section.trimmed().isEmpty() || section.contains(QLatin1Char(']')))
        return false;
    if (key.trimmed().isEmpty() || key.contains(QLatin1Char('='))
        || key.trimmed().startsWith(QLatin1Char(';')) || key.trimmed().startsWith(QLatin1Char('#'))
        || key.trimmed().startsWith(QLatin1Char('[')))
        return false;
    // The read trims blanks and drops one pair of enclosing quotes; such a value is written
    // inside quotes, so that it reads back as it was given.
    QString stored = value;
    const bool quoted = value.size() >= 2
        && (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\''))
        && value.back() == value.front();
    if (value != value.trimmed() || quoted)
        stored = QLatin1Char('"') + value + QLatin1Char('"');

    const int s = findSection(section);
    if (s < 0) {
        if (!lines.isEmpty() && !lines.constLast().text.trimmed().isEmpty()) {
            insertLine(lines.size(), QString());
        }
        insertLine(lines.size(), QLatin1Char('[') + section + QLatin1Char(']'));
        insertLine(lines.size(), key + QLatin1Char('=') + stored);
        return true;
    }

    const int k = findKey(s, key);
    if (k >= 0) {
        Line &line = lines[k];
        // Keep the key as spelt in the file and the blanks after '='.
        int start = line.text.indexOf(QLatin1Char('=')) + 1;
        while (start < line.text.size() && isBlank(line.text.at(start)))
            ++start;
        line.text = line.text.left(start) + stored;
        line.edited = true;
        return true;
    }

    // A new key goes after the last key of the section, so that comments and blank lines
    // in front of the next section stay with it.
    int after = s;
    QString name;
    int equals = 0;
    for (int i = s + 1; i < lines.size(); ++i) {
        if (parseSection(lines.at(i).text, &name))
            break;
        if (parseKey(lines.at(i).text, &name, &equals))
            after = i;
    }
    insertLine(after + 1, key + QLatin1Char('=') + stored);
    return true;
}

QByteArray CIniFile::text() const
{
    QByteArray out = bom;
    if (utf16) {
        QStringEncoder encoder(bigEndian ? QStringConverter::Utf16BE : QStringConverter::Utf16LE);
        for (const Line &line : std::as_const(lines)) {
            out += encoder(line.text);
            out += encoder(QString::fromLatin1(line.end));
        }
    } else {
        for (const Line &line : std::as_const(lines)) {
            out += line.edited ? line.text.toUtf8() : line.raw;
            out += line.end;
        }
    }
    return out;
}

bool CIniFile::save()
{
    saveError.clear();
    if (loadStatus == Unreadable) {
        saveError = QStringLiteral("the existing file could not be read");
        return false;
    }
    // An ini that is a link (to a shared configuration) is written where it points.
    const QFileInfo info(filePath);
    QString where = filePath;
    if (info.isSymLink())
        where = info.exists() ? info.canonicalFilePath() : info.symLinkTarget();
    if (!CWholeFile::write(where, text(), &saveError))
        return false;
    loadStatus = Loaded;
    return true;
}
