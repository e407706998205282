#include "csavehistory.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include "csavesum.h"
#include "storagehelpers.h"

namespace {

// Left behind only by a copy into the history folder that was cut short.
const QString &partialPrefix()
{
    static const QString prefix = QStringLiteral(".partial-");
    return prefix;
}

QString translate(const char *text)
{
    return QCoreApplication::translate("CSaveStore", text);
}

QString versionStamp()
{
    return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd'T'hh-mm-ss.zzz'Z'"));
}

// Copies path to target through a hidden partial file, for file systems without hard links.
bool copyInto(const QString &path, const QString &dir, const QString &name)
{
    const QString partial = dir + QLatin1Char('/') + partialPrefix() + name;
    QFile::remove(partial);
    QFile source(path);
    QFile target(partial);
    bool ok = source.open(QIODevice::ReadOnly) && target.open(QIODevice::WriteOnly);
    while (ok && !source.atEnd()) {
        const QByteArray chunk = source.read(1 << 20);
        ok = !chunk.isEmpty() && target.write(chunk) == chunk.size();
    }
    ok = ok && target.flush() && ::fsync(target.handle()) == 0;
    target.close();
    ok = ok
        && ::rename(nativePath(partial).constData(),
               nativePath(dir + QLatin1Char('/') + name).constData())
            == 0;
    if (!ok)
        QFile::remove(partial);
    return ok;
}

} // namespace

const QString &CSaveHistory::folderName()
{
    static const QString name = QStringLiteral(".versions");
    return name;
}

bool CSaveHistory::isFolderName(const QString &step)
{
    return step.compare(folderName(), Qt::CaseInsensitive) == 0;
}

QString CSaveHistory::folderOf(const QString &archivePath)
{
    const QFileInfo info(archivePath);
    return info.path() + QLatin1Char('/') + folderName() + QLatin1Char('/') + info.fileName();
}

bool CSaveHistory::isVersionName(const QString &name)
{
    static const QRegularExpression pattern(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d-\\d\\d-\\d\\d\\.\\d{3}Z(-\\d{1,3})?$"));
    return pattern.match(name).hasMatch();
}

QList<CSaveHistory::Version> CSaveHistory::versionsOf(const QString &archivePath)
{
    struct stat current;
    const bool hasCurrent = statRegularFile(archivePath, current);
    const QString dir = folderOf(archivePath);
    QList<Version> out;
    for (const QString &name : folderEntries(dir)) {
        struct stat st;
        const QString path = dir + QLatin1Char('/') + name;
        if (!isVersionName(name) || !statRegularFile(path, st))
            continue;
        Version v;
        v.path = path;
        v.name = name;
        v.size = st.st_size;
        v.modified = QDateTime::fromSecsSinceEpoch(st.st_mtime);
        v.duplicate = hasCurrent && st.st_dev == current.st_dev && st.st_ino == current.st_ino;
        out << v;
    }
    return out; // by name, so oldest first
}

void CSaveHistory::healDuplicates(const QString &archivePath, const SyncFolder &syncFolder)
{
    const QString dir = folderOf(archivePath);
    bool removed = false;
    for (const QString &name : folderEntries(dir)) {
        if (name.startsWith(partialPrefix()))
            removed |= QFile::remove(dir + QLatin1Char('/') + name);
    }
    const QList<Version> versions = versionsOf(archivePath);
    for (const Version &v : versions) {
        if (!v.duplicate)
            continue;
        // A commit cut short between its two renames left the new sum beside the old
        // archive; the version's sum (or none) is the archive's.
        CSaveSum::move(v.path, archivePath);
        removed |= ::unlink(nativePath(v.path).constData()) == 0;
    }
    // Sums whose version went without them.
    for (const QString &name : folderEntries(dir)) {
        const QString path = dir + QLatin1Char('/') + name;
        if (CSaveSum::isSumFile(name) && !QFileInfo::exists(CSaveSum::sumOwner(path)))
            removed |= QFile::remove(path);
    }
    if (removed) {
        syncFolder(dir);
        syncFolder(QFileInfo(archivePath).path());
    }
}

QString CSaveHistory::linkVersion(
    const QString &archivePath, QString *error, const SyncFolder &syncFolder)
{
    const QString dir = folderOf(archivePath);
    const bool created = !QFileInfo::exists(dir);
    if (created && !QDir().mkpath(dir)) {
        *error = translate("cannot create %1").arg(dir);
        return QString();
    }
    const QString stamp = versionStamp();
    for (int n = 0; n < 1000; ++n) {
        const QString name = n == 0 ? stamp : stamp + QLatin1Char('-') + QString::number(n);
        const QString target = dir + QLatin1Char('/') + name;
        bool done
            = ::link(nativePath(archivePath).constData(), nativePath(target).constData()) == 0;
        if (!done && errno == EEXIST)
            continue;
        // Without hard links the version is a copy, published by a rename.
        if (!done && (errno == EPERM || errno == EOPNOTSUPP || errno == EXDEV || errno == EMLINK))
            done = !QFileInfo::exists(target) && copyInto(archivePath, dir, name);
        if (!done) {
            *error = errnoText();
            return QString();
        }
        // The version's sum goes with it; without one the version is unchecked.
        for (const CSaveSum::Kind kind : { CSaveSum::Kind::Xxh128, CSaveSum::Kind::Sha256 }) {
            const QString sum = CSaveSum::fileName(archivePath, kind);
            if (QFileInfo::exists(sum)
                && ::link(nativePath(sum).constData(),
                       nativePath(CSaveSum::fileName(target, kind)).constData())
                    != 0)
                copyInto(sum, dir, CSaveSum::fileName(name, kind));
        }
        // The link is durable once its folder is, and a new history folder once its parents
        // are: otherwise a crash after the archive is replaced could lose the version.
        syncFolder(dir);
        if (created) {
            syncFolder(QFileInfo(dir).path());
            syncFolder(QFileInfo(archivePath).path());
        }
        return name;
    }
    *error = translate("no free version name");
    return QString();
}
