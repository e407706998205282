#include "csavestore.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include "csavehistory.h"
#include "csavesum.h"
#include "cserversettings.h"
#include "cstoragelock.h"
#include "cuploadfile.h"
#include "cuploadname.h"
#include "cuploadsink.h"
#include "cuserfolder.h"
#include "storagehelpers.h"

namespace {

QString translate(const char *text)
{
    return QCoreApplication::translate("CSaveStore", text);
}

// Calls onFile with the path and status of each regular file under dir, going into the folders
// enter accepts by name; links are never followed.
void forEachFile(const QString &dir, const std::function<bool(const QString &name)> &enter,
    const std::function<void(const QString &path, const QString &name, const struct stat &st)>
        &onFile)
{
    for (const QString &name : folderEntries(dir)) {
        const QString path = dir + QLatin1Char('/') + name;
        struct stat st;
        if (::lstat(nativePath(path).constData(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (enter(name))
                forEachFile(path, enter, onFile);
        } else if (S_ISREG(st.st_mode)) {
            onFile(path, name, st);
        }
    }
}

} // namespace

struct CSaveStore::UserUsage
{
    qint64 archiveBytes = 0;
    QList<Version> versions; // duplicates left out: they take no room of their own
};

CSaveStore::CSaveStore(const QString &storageDir)
    : CSaveStore(storageDir, Limits())
{
}

CSaveStore::CSaveStore(const QString &storageDir, const Limits &limits)
    : CAbstractSaveStore(limits)
    , root(storageDir)
{
    root.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (!root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
}

CSaveStore CSaveStore::fromSettings(const CServerSettings &settings)
{
    return CSaveStore(settings.saveDataDir, limitsOf(settings));
}

void CSaveStore::setSpaceSource(const SpaceSource &source)
{
    spaceSource = source;
}

CSaveStore::DiskSpace CSaveStore::volumeSpace(const QString &path)
{
    DiskSpace space;
    struct statvfs vfs;
    if (::statvfs(nativePath(path).constData(), &vfs) == 0) {
        space.free = qint64(vfs.f_bavail) * qint64(vfs.f_frsize);
        space.total = qint64(vfs.f_blocks) * qint64(vfs.f_frsize);
    }
    return space;
}

qint64 CSaveStore::minFreeBytes() const
{
    if (lim.minFreeBytes >= 0)
        return lim.minFreeBytes;
    const DiskSpace space = spaceSource ? spaceSource(root) : volumeSpace(root);
    return space.total > 0 ? qMin(space.total / 100, DEFAULT_MIN_FREE_CAP) : 0;
}

void CSaveStore::setStepHook(const std::function<void(const char *)> &hook)
{
    stepHook = hook;
}

void CSaveStore::step(const char *name) const
{
    if (stepHook)
        stepHook(name);
}

void CSaveStore::setSyncHook(const std::function<void(const QString &)> &hook)
{
    syncHook = hook;
}

CSaveHistory::SyncFolder CSaveStore::folderSync() const
{
    return [this](const QString &folder) { syncFolder(folder); };
}

void CSaveStore::syncFolder(const QString &folder) const
{
    const int fd = ::open(nativePath(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    if (syncHook)
        syncHook(folder);
}

QString CSaveStore::archivePath(const QString &archive) const
{
    return root + archive;
}

CSaveStore::UserUsage CSaveStore::userUsage(
    const QString &userDir, const QString &excludeArchive) const
{
    UserUsage usage;
    QSet<QPair<quint64, quint64>> seen;
    std::function<void(const QString &)> walk = [&](const QString &dir) {
        for (const QString &name : folderEntries(dir)) {
            const QString path = dir + QLatin1Char('/') + name;
            struct stat st;
            if (::lstat(nativePath(path).constData(), &st) != 0)
                continue;
            if (S_ISDIR(st.st_mode) && CSaveHistory::isFolderName(name)) {
                for (const QString &archive : folderEntries(path)) {
                    for (const Version &v :
                        CSaveHistory::versionsOf(dir + QLatin1Char('/') + archive)) {
                        if (!v.duplicate)
                            usage.versions << v;
                    }
                }
            } else if (S_ISDIR(st.st_mode)) {
                walk(path);
            } else if (S_ISREG(st.st_mode) && name.endsWith(QLatin1String(".z"))
                && path != excludeArchive) {
                const auto id = qMakePair(quint64(st.st_dev), quint64(st.st_ino));
                if (!seen.contains(id)) {
                    seen.insert(id);
                    usage.archiveBytes += st.st_size;
                }
            }
        }
    };
    walk(userDir.endsWith(QLatin1Char('/')) ? userDir.chopped(1) : userDir);
    return usage;
}

CSaveStore::Outcome CSaveStore::checkUpload(
    const QString &archive, qint64 size, qint64 growth, qint64 reserved) const
{
    Outcome out = saveSizeOutcome(size);
    if (!out.ok())
        return out;
    const DiskSpace space = spaceSource ? spaceSource(root) : volumeSpace(root);
    if (space.free >= 0) {
        const qint64 floor = lim.minFreeBytes >= 0
            ? lim.minFreeBytes
            : (space.total > 0 ? qMin(space.total / 100, DEFAULT_MIN_FREE_CAP) : 0);
        if (space.free - reserved - growth < floor) {
            out.status = Status::Refused;
            out.message = translate(
                "would leave less than MinFreeBytes (%1 bytes) free on the storage volume")
                              .arg(floor);
            return out;
        }
    }
    const QString user = userFolderOf(archive);
    if (lim.maxUserBytes > 0 && !user.isEmpty()) {
        // Versions can be given up at the end; the other current archives cannot.
        const UserUsage usage = userUsage(root + user, archivePath(archive));
        if (usage.archiveBytes + size > lim.maxUserBytes) {
            out.status = Status::Refused;
            out.message = translate("folder %1 would exceed MaxUserBytes (%2 bytes)")
                              .arg(user)
                              .arg(lim.maxUserBytes);
        }
    }
    return out;
}

CSaveStore::Outcome CSaveStore::commitUpload(
    const QString &archive, qint64 size, const std::function<bool()> &commit, bool deferPrune)
{
    // The upload's own checks look at the size only now and then on the way.
    Outcome out = saveSizeOutcome(size);
    if (!out.ok())
        return out;
    const QString path = archivePath(archive);
    CStorageLock lock(root);
    CSaveHistory::healDuplicates(path, folderSync());

    struct stat current;
    const bool hasCurrent = statRegularFile(path, current);
    const int keep = qMax(0, lim.keepVersions);
    bool keepCurrent = hasCurrent && keep > 0;

    // The save's own versions beyond the bound go, oldest first; the replaced archive
    // becomes the newest.
    const QList<Version> own = CSaveHistory::versionsOf(path);
    QList<Version> dropped;
    const qsizetype excess = own.size() + (keepCurrent ? 1 : 0) - keep;
    for (qsizetype i = 0; i < excess && i < own.size(); ++i)
        dropped << own.at(i);

    const QString user = userFolderOf(archive);
    if (lim.maxUserBytes > 0 && !user.isEmpty()) {
        const UserUsage usage = userUsage(root + user, path);
        QList<Version> staying;
        for (const Version &v : usage.versions) {
            if (!std::any_of(dropped.cbegin(), dropped.cend(),
                    [&](const Version &d) { return d.path == v.path; }))
                staying << v;
        }
        std::sort(staying.begin(), staying.end(), [](const Version &a, const Version &b) {
            return a.name != b.name ? a.name < b.name : a.path < b.path;
        });
        qint64 total = usage.archiveBytes + size + (keepCurrent ? qint64(current.st_size) : 0);
        for (const Version &v : staying)
            total += v.size;
        // The oldest versions of all the user's saves are given up first.
        while (total > lim.maxUserBytes && (!staying.isEmpty() || keepCurrent)) {
            if (!staying.isEmpty()) {
                total -= staying.first().size;
                dropped << staying.takeFirst();
            } else {
                total -= current.st_size;
                keepCurrent = false;
            }
        }
        if (total > lim.maxUserBytes) {
            out.status = Status::Refused;
            out.message = translate("folder %1 would exceed MaxUserBytes (%2 bytes)")
                              .arg(user)
                              .arg(lim.maxUserBytes);
            return out;
        }
    }

    if (keepCurrent) {
        QString error;
        out.keptVersion = CSaveHistory::linkVersion(path, &error, folderSync());
        if (out.keptVersion.isEmpty()) {
            out.status = Status::Failed;
            out.message = translate("cannot keep the replaced archive as a version: %1").arg(error);
            return out;
        }
    }
    step("linked");
    if (!commit()) {
        if (!out.keptVersion.isEmpty()) {
            const QString kept = CSaveHistory::folderOf(path) + QLatin1Char('/') + out.keptVersion;
            // A commit that got as far as the sum has dropped it again; the kept one returns.
            CSaveSum::move(kept, path);
            ::unlink(nativePath(kept).constData());
            syncFolder(CSaveHistory::folderOf(path));
            syncFolder(QFileInfo(path).path());
        }
        out.status = Status::Failed;
        out.message = translate("the archive could not be replaced");
        out.keptVersion.clear();
        return out;
    }
    step("committed");
    // Versions given up need no sync: one that comes back after a crash is given up by the
    // next upload.
    for (const Version &v : dropped)
        out.toGiveUp << v.path;
    out.givenUp = int(out.toGiveUp.size());
    if (!deferPrune) {
        lock.release();
        pruneVersions(out.toGiveUp);
        out.toGiveUp.clear();
    }
    return out;
}

void CSaveStore::pruneVersions(const QStringList &paths) const
{
    CStorageLock lock(root);
    QSet<QString> dirs;
    for (const QString &path : paths) {
        if (::unlink(nativePath(path).constData()) == 0)
            dirs.insert(QFileInfo(path).path());
        CSaveSum::remove(path);
    }
    // An emptied history folder goes too; a folder still in use stays.
    for (const QString &dir : dirs) {
        if (QDir().rmdir(dir))
            QDir().rmdir(QFileInfo(dir).path());
    }
    step("pruned");
}

QList<CSaveStore::Entry> CSaveStore::saves(const QString &userFolder, Outcome *outcome) const
{
    QList<Entry> out;
    Outcome result;
    const QString base = root + userFolder;
    if (userFolder.isEmpty() || userFolder.contains(QLatin1Char('/'))
        || userFolder == QLatin1String(".") || userFolder == QLatin1String("..")) {
        result.status = Status::BadName;
        result.message = translate("bad user folder %1").arg(userFolder);
    } else if (!QFileInfo(base).isDir()) {
        result.status = Status::NotFound;
        result.message = translate("no game data folder %1").arg(userFolder);
    } else {
        std::function<void(const QString &, const QString &)> walk
            = [&](const QString &dir, const QString &prefix) {
                  for (const QString &name : folderEntries(dir)) {
                      const QString path = dir + QLatin1Char('/') + name;
                      struct stat st;
                      if (::lstat(nativePath(path).constData(), &st) != 0)
                          continue;
                      if (S_ISDIR(st.st_mode) && !CSaveHistory::isFolderName(name)) {
                          walk(path, prefix + name + QLatin1Char('/'));
                      } else if (S_ISREG(st.st_mode) && name.endsWith(QLatin1String(".z"))) {
                          Entry e;
                          e.name = prefix + name.chopped(2);
                          e.size = st.st_size;
                          e.modified = QDateTime::fromSecsSinceEpoch(st.st_mtime);
                          out << e;
                      }
                  }
              };
        walk(base, QString());
    }
    if (outcome)
        *outcome = result;
    return out;
}

QList<CSaveStore::Entry> CSaveStore::history(const QString &saveName, Outcome *outcome) const
{
    QList<Entry> out;
    Outcome result;
    if (!isValidSaveName(saveName)) {
        result.status = Status::BadName;
        result.message = translate("bad save name %1").arg(saveName);
    } else {
        const QString path = archivePath(archiveName(saveName));
        const QList<Version> versions = CSaveHistory::versionsOf(path);
        if (versions.isEmpty() && !QFileInfo::exists(path)) {
            result.status = Status::NotFound;
            result.message = translate("no save %1").arg(saveName);
        }
        for (auto it = versions.crbegin(); it != versions.crend(); ++it) {
            if (!it->duplicate)
                out << Entry { it->name, it->size, it->modified };
        }
    }
    if (outcome)
        *outcome = result;
    return out;
}

CSaveStore::Outcome CSaveStore::restore(const QString &saveName, const QString &version)
{
    Outcome out;
    if (!isValidSaveName(saveName) || version.isEmpty() || version.contains(QLatin1Char('/'))
        || version.startsWith(QLatin1Char('.'))) {
        out.status = Status::BadName;
        out.message = translate("bad save name or version");
        return out;
    }
    const QString path = archivePath(archiveName(saveName));
    const QString dir = CSaveHistory::folderOf(path);
    const QString chosen = dir + QLatin1Char('/') + version;
    CStorageLock lock(root);
    CSaveHistory::healDuplicates(path, folderSync());

    struct stat st;
    // Only a version: never a sum file or anything else the history folder holds.
    if (!CSaveHistory::isVersionName(version) || !statRegularFile(chosen, st)) {
        out.status = Status::NotFound;
        out.message = translate("no version %1 of %2").arg(version, saveName);
        return out;
    }
    if (statRegularFile(path, st)) {
        QString error;
        out.keptVersion = CSaveHistory::linkVersion(path, &error, folderSync());
        if (out.keptVersion.isEmpty()) {
            out.status = Status::Failed;
            out.message = translate("cannot keep the current archive as a version: %1").arg(error);
            return out;
        }
    }
    step("restore-linked");
    // The version's sum first, as an upload does: a crash before the rename leaves the
    // current archive beside it, which the version just kept of it sets right.
    const QString chosenSum = CSaveSum::read(chosen);
    const bool summed
        = chosenSum.isEmpty() ? (CSaveSum::remove(path), true) : CSaveSum::write(path, chosenSum);
    step("restore-summed");
    if (!summed || ::rename(nativePath(chosen).constData(), nativePath(path).constData()) != 0) {
        out.status = Status::Failed;
        out.message = errnoText();
        const QString kept = dir + QLatin1Char('/') + out.keptVersion;
        const QString keptSum = out.keptVersion.isEmpty() ? QString() : CSaveSum::read(kept);
        if (keptSum.isEmpty())
            CSaveSum::remove(path);
        else
            CSaveSum::write(path, keptSum);
        if (!out.keptVersion.isEmpty()) {
            CSaveSum::remove(kept);
            ::unlink(nativePath(kept).constData());
        }
        out.keptVersion.clear();
        syncFolder(dir);
        syncFolder(QFileInfo(path).path());
        return out;
    }
    CSaveSum::remove(chosen);
    syncFolder(dir);
    syncFolder(QFileInfo(path).path());
    step("restored");
    return out;
}

QString CSaveStore::recordedSum(const QString &archive, quint64 device, quint64 inode) const
{
    const QString path = archivePath(archive);
    for (const Version &v : CSaveHistory::versionsOf(path)) {
        struct stat st;
        if (statRegularFile(v.path, st) && quint64(st.st_dev) == device
            && quint64(st.st_ino) == inode)
            return CSaveSum::read(v.path);
    }
    return CSaveSum::read(path);
}

QString CSaveStore::versionPath(const QString &saveName, const QString &version) const
{
    return CSaveHistory::folderOf(archivePath(archiveName(saveName))) + QLatin1Char('/') + version;
}

CSaveStore::Outcome CSaveStore::commitUpload(const QString &archive, qint64 size,
    const std::shared_ptr<libsock::CUploadSink> &sink, bool deferPrune)
{
    return commitUpload(
        archive, size, [&sink] { return sink->commit(); }, deferPrune);
}

CSaveStore::Check CSaveStore::check(const QString &saveName, const QString &version) const
{
    Check out;
    const QString archive = archiveName(saveName);
    const QString path = version.isEmpty() ? archivePath(archive) : versionPath(saveName, version);
    struct stat st;
    if (::stat(nativePath(path).constData(), &st) != 0)
        return out;
    out.present = true;
    out.expected
        = version.isEmpty() ? recordedSum(archive, st.st_dev, st.st_ino) : CSaveSum::read(path);
    if (!out.expected.isEmpty())
        out.actual = CSaveSum::compute(path, CSaveSum::kindOf(out.expected), &out.error);
    return out;
}

QStringList CSaveStore::userFolders(QString *error) const
{
    Q_UNUSED(error);
    QStringList out;
    for (const QString &name : QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const int id = name.toInt(&ok);
        if (ok && id > 0 && CUserFolder::name(id) == name)
            out << name;
    }
    return out;
}

bool CSaveStore::removeUserData(int objectId, bool *existed, QString *error)
{
    const QString path = CUserFolder::path(root, objectId);
    *existed = !path.isEmpty() && QFileInfo::exists(path);
    if (!*existed || deleteDirectoryTree(path))
        return true;
    if (error)
        *error = translate("cannot remove %1").arg(path);
    return false;
}

bool CSaveStore::moveAside(int objectId, const QDateTime &now, QString *movedTo, QString *error)
{
    return CUserFolder::moveAside(root, objectId, now, movedTo, error);
}

qint64 CSaveStore::storedBytes() const
{
    qint64 total = 0;
    forEachFile(
        root.chopped(1), [](const QString &) { return true; },
        [&total](const QString &, const QString &, const struct stat &st) { total += st.st_size; });
    return total;
}

bool CSaveStore::writable(QString *reason) const
{
    if (root != QLatin1String("/") && ::access(nativePath(root).constData(), W_OK | X_OK) == 0)
        return true;
    *reason = translate("the storage folder is not writable");
    return false;
}

int CSaveStore::removeCutUploads()
{
    int removed = 0;
    forEachFile(
        root.chopped(1), [](const QString &name) { return !CSaveHistory::isFolderName(name); },
        [&removed](const QString &path, const QString &name, const struct stat &) {
            if (libsock::CUploadName::isTemporary(name)
                && libsock::CUploadFile::removeIfCutShort(path))
                ++removed;
        });
    return removed;
}
