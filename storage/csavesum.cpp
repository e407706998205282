#include "csavesum.h"

#include <QFile>
#include <QSaveFile>

#include "csha256.h"

namespace {

// Far more than a sum with a line feed: a larger file is no sum of ours.
constexpr qint64 MAX_SUM_FILE = 256;

const QString &suffix()
{
    static const QString text = QStringLiteral(".sha256");
    return text;
}

} // namespace

QString CSaveSum::fileName(const QString &file)
{
    return file + suffix();
}

bool CSaveSum::isSumFile(const QString &name)
{
    return name.endsWith(suffix());
}

bool CSaveSum::isValid(const QString &text)
{
    if (text.size() != 64)
        return false;
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9'))
                || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

QString CSaveSum::read(const QString &file)
{
    QFile sum(fileName(file));
    if (!sum.open(QIODevice::ReadOnly))
        return QString();
    const QString text = QString::fromLatin1(sum.read(MAX_SUM_FILE)).trimmed();
    // Present but empty or unreadable: a sum that matches nothing.
    return text.isEmpty() ? QStringLiteral("?") : text;
}

bool CSaveSum::write(const QString &file, const QString &hex)
{
    QSaveFile sum(fileName(file));
    if (!sum.open(QIODevice::WriteOnly))
        return false;
    const QByteArray line = hex.toLatin1() + '\n';
    // QSaveFile syncs the data before its rename.
    return sum.write(line) == line.size() && sum.commit();
}

void CSaveSum::remove(const QString &file)
{
    QFile::remove(fileName(file));
}

QString CSaveSum::compute(const QString &file, QString *errorText)
{
    return CSha256::fileHex(file, errorText);
}
