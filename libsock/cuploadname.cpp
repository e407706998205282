#include "cuploadname.h"

namespace libsock {

QString CUploadName::temporaryFor(const QString &archivePath, quint32 random)
{
    quint32 value = random & 0xFFFFFF;
    // A lone "z" would make the name of the archive of a save named as the archive ("a.z.z"),
    // which nobody takes for an upload.
    if (value == 35)
        value = 36;
    return archivePath + QLatin1Char('.') + QString::number(value, 36);
}

bool CUploadName::isTemporary(const QString &fileName)
{
    // The archive's name (ending in ".z"), a dot and at most five base-36 digits.
    const int dot = int(fileName.lastIndexOf(QLatin1Char('.')));
    const int digits = int(fileName.size()) - dot - 1;
    if (dot <= 0 || digits < 1 || digits > 5 || !fileName.left(dot).endsWith(QLatin1String(".z"))
        || fileName.endsWith(QLatin1String(".z.z")))
        return false;
    for (int i = dot + 1; i < fileName.size(); ++i) {
        const QChar c = fileName.at(i);
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9'))
                || (c >= QLatin1Char('a') && c <= QLatin1Char('z'))))
            return false;
    }
    return true;
}

} // namespace libsock
