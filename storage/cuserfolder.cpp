#include "cuserfolder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

bool present(const QString &path)
{
    // lstat: a link, even a dangling one, stands in the way as much as a folder.
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

} // namespace

QString CUserFolder::name(int objectId)
{
    return QString::number(objectId);
}

QString CUserFolder::path(const QString &storageDir, int objectId)
{
    return inStorage(storageDir, name(objectId));
}

QString CUserFolder::orphanedPath(const QString &storageDir)
{
    return inStorage(storageDir, QString::fromLatin1(ORPHANED_DIR));
}

QString CUserFolder::inStorage(const QString &storageDir, const QString &entry)
{
    if (storageDir.isEmpty())
        return QString();
    QString path = storageDir;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return QFileInfo(path + entry).absoluteFilePath();
}

bool CUserFolder::moveAside(const QString &storageDir, int objectId, const QDateTime &now,
    QString *movedTo, QString *errorText)
{
    const QString folder = path(storageDir, objectId);
    if (folder.isEmpty() || !present(folder))
        return true;
    const QString orphaned = orphanedPath(storageDir);
    if (!QDir().mkpath(orphaned)) {
        if (errorText)
            *errorText = QStringLiteral("cannot create %1").arg(orphaned);
        return false;
    }
    // The same time format as the save history's versions: sortable and safe in file names.
    const QString base = orphaned + QLatin1Char('/') + name(objectId) + QLatin1Char('-')
        + now.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'hh-mm-ss.zzz'Z'"));
    QString target = base;
    for (int n = 2; present(target); ++n)
        target = base + QLatin1Char('-') + QString::number(n);
    // A rename within one file system: nothing is copied, nothing can be half moved.
    if (std::rename(QFile::encodeName(folder).constData(), QFile::encodeName(target).constData())
        != 0) {
        if (errorText)
            *errorText = QStringLiteral("cannot move %1 to %2: %3")
                             .arg(folder, target, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (movedTo)
        *movedTo = target;
    return true;
}
