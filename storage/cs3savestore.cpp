#include "cs3savestore.h"

#include <algorithm>
#include <future>

#include <QCoreApplication>
#include <QRandomGenerator>

#include "csavehistory.h"
#include "cs3savelock.h"
#include "cs3upload.h"
#include "csavesum.h"
#include "cuserfolder.h"

namespace {

QString translate(const char *text)
{
    return QCoreApplication::translate("CSaveStore", text);
}

const QString &stampFormat()
{
    static const QString format = QStringLiteral("yyyy-MM-dd'T'hh-mm-ss.zzz'Z'");
    return format;
}

CAbstractSaveStore::Outcome outcomeOf(CAbstractSaveStore::Status status, const QString &message)
{
    CAbstractSaveStore::Outcome out;
    out.status = status;
    out.message = message;
    return out;
}

// The steps of a key below its user's folder that lead into a history folder: the archive's
// name and the version's.
bool historySteps(const QStringList &steps, QString *archive, QString *version)
{
    for (int i = 0; i + 2 < steps.size(); ++i) {
        if (CSaveHistory::isFolderName(steps.at(i))) {
            *archive = steps.at(i + 1);
            *version = steps.at(i + 2);
            return i + 3 == steps.size();
        }
    }
    return false;
}

bool insideHistory(const QStringList &steps)
{
    for (int i = 0; i + 1 < steps.size(); ++i) {
        if (CSaveHistory::isFolderName(steps.at(i)))
            return true;
    }
    return false;
}

// The sum of an object's bytes, of the kind of the sum it keeps, read in ranges.
QString sumOfObject(
    CS3Bucket &bucket, const QString &key, const CS3Bucket::Head &head, QString *error)
{
    CSaveSum sum(CSaveSum::kindOf(head.sum));
    const bool read = bucket.readAll(
        key, head,
        [&sum](const QByteArray &bytes) {
            sum.add(bytes);
            return true;
        },
        error);
    return read ? sum.hexResult() : QString();
}

} // namespace

CS3SaveStore::CS3SaveStore(const std::shared_ptr<CS3Bucket> &s3Bucket, const Limits &limits)
    : CAbstractSaveStore(limits)
    , bucket(s3Bucket)
    , lockLease(CS3SaveLock::LEASE_MS)
{
}

QString CS3SaveStore::location() const
{
    return bucket->config().displayText();
}

void CS3SaveStore::step(const char *name) const
{
    if (stepHook)
        stepHook(name);
}

QString CS3SaveStore::stagingKey(const QString &archive) const
{
    return objectKey(stagingFolder() + archive + QLatin1Char('.')
        + QString::number(QRandomGenerator::global()->generate64(), 36));
}

QString CS3SaveStore::versionFolder(const QString &archive) const
{
    const qsizetype slash = archive.lastIndexOf(QLatin1Char('/'));
    return objectKey(archive.left(slash + 1) + CSaveHistory::folderName() + QLatin1Char('/')
        + archive.mid(slash + 1) + QLatin1Char('/'));
}

bool CS3SaveStore::versionsOf(const QString &archive, QList<Version> *out, QString *error) const
{
    QList<CS3Bucket::Object> objects;
    const QString folder = versionFolder(archive);
    QStringList below;
    if (!bucket->list(folder, &objects, error, &below))
        return false;
    out->clear();
    for (const CS3Bucket::Object &object : std::as_const(objects)) {
        const QString name = object.key.mid(folder.size());
        // The lock and other hidden entries are no versions.
        if (name.startsWith(QLatin1Char('.')) || name.isEmpty())
            continue;
        *out << Version { object.key, name, object.size, object.modified };
    }
    std::sort(out->begin(), out->end(),
        [](const Version &a, const Version &b) { return a.name < b.name; });
    return true;
}

bool CS3SaveStore::userUsage(
    const QString &user, const QString &excludeKey, UserUsage *usage, QString *error) const
{
    QList<CS3Bucket::Object> objects;
    const QString folder = objectKey(user + QLatin1Char('/'));
    if (!bucket->list(folder, &objects, error))
        return false;
    *usage = UserUsage();
    for (const CS3Bucket::Object &object : std::as_const(objects)) {
        const QStringList steps = object.key.mid(folder.size()).split(QLatin1Char('/'));
        QString archive;
        QString version;
        if (historySteps(steps, &archive, &version)) {
            if (!version.startsWith(QLatin1Char('.')))
                usage->versions << Version { object.key, version, object.size, object.modified };
        } else if (!insideHistory(steps) && object.key.endsWith(QLatin1String(".z"))
            && object.key != excludeKey) {
            usage->archiveBytes += object.size;
        }
    }
    return true;
}

QString CS3SaveStore::newVersionName(const QList<Version> &existing)
{
    // Servers' clocks differ: a version never sorts before one kept earlier.
    QDateTime when = QDateTime::currentDateTimeUtc();
    for (const Version &v : existing) {
        QDateTime kept = QDateTime::fromString(v.name.left(24), stampFormat());
        kept.setTimeSpec(Qt::UTC);
        if (kept.isValid() && kept >= when)
            when = kept.addMSecs(1);
    }
    return when.toString(stampFormat());
}

CAbstractSaveStore::Outcome CS3SaveStore::checkUpload(
    const QString &archive, qint64 size, qint64 growth, qint64 reserved) const
{
    Q_UNUSED(growth);
    Q_UNUSED(reserved);
    Outcome out = saveSizeOutcome(size);
    const QString user = userFolderOf(archive);
    if (!out.ok() || lim.maxUserBytes <= 0 || user.isEmpty())
        return out;
    // Versions can be given up at the end; the other current archives cannot.
    UserUsage usage;
    QString error;
    if (!userUsage(user, objectKey(archive), &usage, &error))
        return outcomeOf(Status::Failed, error);
    if (usage.archiveBytes + size > lim.maxUserBytes)
        return outcomeOf(Status::Refused,
            translate("folder %1 would exceed MaxUserBytes (%2 bytes)")
                .arg(user)
                .arg(lim.maxUserBytes));
    return out;
}

CAbstractSaveStore::Outcome CS3SaveStore::makeRoom(const QString &archive, qint64 size,
    const CS3Bucket::Head &current, QList<Version> *dropped, bool *keepCurrent) const
{
    const QString user = userFolderOf(archive);
    if (lim.maxUserBytes <= 0 || user.isEmpty())
        return Outcome();
    UserUsage usage;
    QString error;
    if (!userUsage(user, objectKey(archive), &usage, &error))
        return outcomeOf(Status::Failed, error);
    QList<Version> staying;
    for (const Version &v : std::as_const(usage.versions)) {
        if (std::none_of(dropped->cbegin(), dropped->cend(),
                [&](const Version &d) { return d.key == v.key; }))
            staying << v;
    }
    std::sort(staying.begin(), staying.end(), [](const Version &a, const Version &b) {
        return a.name != b.name ? a.name < b.name : a.key < b.key;
    });
    qint64 total = usage.archiveBytes + size + (*keepCurrent ? current.size : 0);
    for (const Version &v : std::as_const(staying))
        total += v.size;
    // The oldest versions of all the user's saves are given up first.
    while (total > lim.maxUserBytes && (!staying.isEmpty() || *keepCurrent)) {
        if (!staying.isEmpty()) {
            total -= staying.first().size;
            *dropped << staying.takeFirst();
        } else {
            total -= current.size;
            *keepCurrent = false;
        }
    }
    if (total > lim.maxUserBytes)
        return outcomeOf(Status::Refused,
            translate("folder %1 would exceed MaxUserBytes (%2 bytes)")
                .arg(user)
                .arg(lim.maxUserBytes));
    return Outcome();
}

bool CS3SaveStore::publish(const QString &key, const CS3Upload &upload, QString *error)
{
    const CS3Upload::Staged &staged = upload.staged();
    QList<QByteArray> metadata { CS3Bucket::tokenHeader(staged.token),
        QByteArrayLiteral("Content-Type: application/octet-stream") };
    if (!staged.sum.isEmpty())
        metadata << CS3Bucket::sumHeader(staged.sum);
    const bool done = staged.key.isEmpty() ? bucket->put(key, staged.body, metadata, error)
                                           : bucket->copy(staged.key, key, metadata, error);
    if (done)
        return true;
    // The answer may be what got lost: the archive then names this upload.
    CS3Bucket::Head now;
    return bucket->head(key, &now, nullptr) && now.found && now.uploadToken == staged.token;
}

CAbstractSaveStore::Outcome CS3SaveStore::prepareReplace(
    const QString &archive, qint64 size, CS3SaveLock &lock, Replacement *r)
{
    const QString key = objectKey(archive);
    QString error;
    QList<Version> own;
    if (!lock.acquire(lockWait, &error) || !bucket->head(key, &r->current, &error)
        || !versionsOf(archive, &own, &error))
        return outcomeOf(
            Status::Failed, translate("the archive could not be replaced: %1").arg(error));
    const int keep = qMax(0, lim.keepVersions);
    bool keepCurrent = r->current.found && keep > 0;
    // The save's own versions beyond the bound go, oldest first; the replaced archive
    // becomes the newest.
    const qsizetype excess = own.size() + (keepCurrent ? 1 : 0) - keep;
    for (qsizetype i = 0; i < excess && i < own.size(); ++i)
        r->dropped << own.at(i);
    Outcome out = makeRoom(archive, size, r->current, &r->dropped, &keepCurrent);
    if (!out.ok() || !keepCurrent)
        return out;
    r->kept = versionFolder(archive) + newVersionName(own);
    if (!bucket->copy(key, r->kept, {}, &error)) {
        r->kept.clear();
        return outcomeOf(Status::Failed,
            translate("cannot keep the replaced archive as a version: %1").arg(error));
    }
    out.keptVersion = r->kept.mid(versionFolder(archive).size());
    return out;
}

void CS3SaveStore::undoVersion(const QString &key, const Replacement &r)
{
    // The replaced archive is still current only if nothing landed on its key: then its
    // version is a double and goes; otherwise it is the only one left of it.
    CS3Bucket::Head now;
    if (!r.kept.isEmpty() && bucket->head(key, &now, nullptr) && now.found
        && now.etag == r.current.etag && now.uploadToken == r.current.uploadToken)
        bucket->remove({ r.kept }, nullptr);
}

CAbstractSaveStore::Outcome CS3SaveStore::commitUpload(const QString &archive, qint64 size,
    const std::shared_ptr<libsock::CUploadSink> &sink, bool deferPrune)
{
    Outcome out = saveSizeOutcome(size);
    auto *upload = dynamic_cast<CS3Upload *>(sink.get());
    if (!out.ok() || !upload)
        return upload ? out : outcomeOf(Status::Failed, translate("no upload of this store"));
    // The upload's last parts and the version of what it replaces are made at once.
    std::future<bool> staged
        = std::async(std::launch::async, [upload] { return upload->commit(); });
    const QString key = objectKey(archive);
    CS3SaveLock lock(*bucket, versionFolder(archive) + QStringLiteral(".lock"), lockLease);
    Replacement r;
    out = prepareReplace(archive, size, lock, &r);
    if (!staged.get()) {
        undoVersion(key, r);
        return outcomeOf(Status::Failed,
            translate("the archive could not be stored: %1").arg(upload->errorText()));
    }
    if (!out.ok())
        return out;
    step("linked");
    QString error;
    if (!lock.fresh() || !publish(key, *upload, &error)) {
        undoVersion(key, r);
        return outcomeOf(Status::Failed,
            translate("the archive could not be replaced: %1")
                .arg(error.isEmpty() ? translate("the save's lock ran out") : error));
    }
    step("committed");
    lock.release();
    for (const Version &v : std::as_const(r.dropped))
        out.toGiveUp << v.key;
    out.givenUp = int(out.toGiveUp.size());
    if (!deferPrune) {
        pruneVersions(out.toGiveUp);
        out.toGiveUp.clear();
    }
    return out;
}

void CS3SaveStore::pruneVersions(const QStringList &keys) const
{
    // Versions given up that come back (a failed delete) are given up by the next upload.
    bucket->remove(keys, nullptr);
    step("pruned");
}

QList<CAbstractSaveStore::Entry> CS3SaveStore::saves(
    const QString &userFolder, Outcome *outcome) const
{
    QList<Entry> out;
    Outcome result;
    QList<CS3Bucket::Object> objects;
    const QString folder = objectKey(userFolder + QLatin1Char('/'));
    QString error;
    if (userFolder.isEmpty() || userFolder.contains(QLatin1Char('/'))
        || userFolder.startsWith(QLatin1Char('.'))) {
        result = outcomeOf(Status::BadName, translate("bad user folder %1").arg(userFolder));
    } else if (!bucket->list(folder, &objects, &error)) {
        result = outcomeOf(Status::Failed, error);
    } else if (objects.isEmpty()) {
        result = outcomeOf(Status::NotFound, translate("no game data folder %1").arg(userFolder));
    }
    for (const CS3Bucket::Object &object : std::as_const(objects)) {
        const QString name = object.key.mid(folder.size());
        if (insideHistory(name.split(QLatin1Char('/'))) || !name.endsWith(QLatin1String(".z")))
            continue;
        out << Entry { name.chopped(2), object.size, object.modified };
    }
    if (outcome)
        *outcome = result;
    return out;
}

QList<CAbstractSaveStore::Entry> CS3SaveStore::history(
    const QString &saveName, Outcome *outcome) const
{
    QList<Entry> out;
    Outcome result;
    QList<Version> versions;
    QString error;
    const QString archive = archiveName(saveName);
    CS3Bucket::Head current;
    if (!isValidSaveName(saveName)) {
        result = outcomeOf(Status::BadName, translate("bad save name %1").arg(saveName));
    } else if (!versionsOf(archive, &versions, &error)
        || (versions.isEmpty() && !bucket->head(objectKey(archive), &current, &error))) {
        result = outcomeOf(Status::Failed, error);
    } else if (versions.isEmpty() && !current.found) {
        result = outcomeOf(Status::NotFound, translate("no save %1").arg(saveName));
    }
    for (auto it = versions.crbegin(); it != versions.crend(); ++it)
        out << Entry { it->name, it->size, it->modified };
    if (outcome)
        *outcome = result;
    return out;
}

CAbstractSaveStore::Outcome CS3SaveStore::restore(const QString &saveName, const QString &version)
{
    if (!isValidSaveName(saveName) || version.isEmpty() || version.contains(QLatin1Char('/'))
        || version.startsWith(QLatin1Char('.')))
        return outcomeOf(Status::BadName, translate("bad save name or version"));
    const QString archive = archiveName(saveName);
    const QString key = objectKey(archive);
    const QString chosen = versionFolder(archive) + version;
    CS3SaveLock lock(*bucket, versionFolder(archive) + QStringLiteral(".lock"), lockLease);
    QString error;
    CS3Bucket::Head wanted;
    CS3Bucket::Head current;
    QList<Version> own;
    if (!lock.acquire(lockWait, &error) || !bucket->head(chosen, &wanted, &error)
        || !bucket->head(key, &current, &error) || !versionsOf(archive, &own, &error))
        return outcomeOf(Status::Failed, error);
    if (!wanted.found)
        return outcomeOf(Status::NotFound, translate("no version %1 of %2").arg(version, saveName));
    Outcome out;
    QString kept;
    if (current.found) {
        kept = versionFolder(archive) + newVersionName(own);
        if (!bucket->copy(key, kept, {}, &error))
            return outcomeOf(Status::Failed,
                translate("cannot keep the current archive as a version: %1").arg(error));
        out.keptVersion = kept.mid(versionFolder(archive).size());
    }
    step("restore-linked");
    // The version's sum travels in its metadata.
    if (!lock.fresh() || !bucket->copy(chosen, key, {}, &error)) {
        CS3Bucket::Head now;
        if (!kept.isEmpty() && bucket->head(key, &now, nullptr) && now.found
            && now.etag == current.etag && now.uploadToken == current.uploadToken)
            bucket->remove({ kept }, nullptr);
        return outcomeOf(
            Status::Failed, error.isEmpty() ? translate("the save's lock ran out") : error);
    }
    bucket->remove({ chosen }, nullptr);
    step("restored");
    return out;
}

CAbstractSaveStore::Check CS3SaveStore::check(const QString &saveName, const QString &version) const
{
    Check out;
    const QString archive = archiveName(saveName);
    const QString key = version.isEmpty() ? objectKey(archive) : versionFolder(archive) + version;
    CS3Bucket::Head head;
    if (!bucket->head(key, &head, &out.error)) {
        out.present = true;
        out.expected = QStringLiteral("?");
        return out;
    }
    out.present = head.found;
    out.expected = head.sum;
    if (head.found && !head.sum.isEmpty())
        out.actual = sumOfObject(*bucket, key, head, &out.error);
    return out;
}

QStringList CS3SaveStore::userFolders(QString *error) const
{
    QList<CS3Bucket::Object> objects;
    QStringList folders;
    const QString root = objectKey(QString());
    if (!bucket->list(root, &objects, error, &folders))
        return {};
    QStringList out;
    for (const QString &folder : std::as_const(folders)) {
        const QString name = folder.mid(root.size()).chopped(1);
        bool ok = false;
        const int id = name.toInt(&ok);
        if (ok && id > 0 && CUserFolder::name(id) == name)
            out << name;
    }
    return out;
}

bool CS3SaveStore::removeUserData(int objectId, bool *existed, QString *error)
{
    QList<CS3Bucket::Object> objects;
    if (!bucket->list(objectKey(CUserFolder::name(objectId) + QLatin1Char('/')), &objects, error))
        return false;
    *existed = !objects.isEmpty();
    QStringList keys;
    for (const CS3Bucket::Object &object : std::as_const(objects))
        keys << object.key;
    return bucket->remove(keys, error);
}

bool CS3SaveStore::moveAside(int objectId, const QDateTime &now, QString *movedTo, QString *error)
{
    QList<CS3Bucket::Object> objects;
    const QString folder = objectKey(CUserFolder::name(objectId) + QLatin1Char('/'));
    if (!bucket->list(folder, &objects, error, nullptr, NEW_ID_CHECK_MS))
        return false;
    if (objects.isEmpty())
        return true;
    // The same time format as the versions; copied whole first, removed after.
    const QString target = objectKey(QString::fromLatin1(CUserFolder::ORPHANED_DIR)
        + QLatin1Char('/') + CUserFolder::name(objectId) + QLatin1Char('-')
        + now.toUTC().toString(stampFormat()) + QLatin1Char('-')
        + QString::number(QRandomGenerator::global()->bounded(1000000)) + QLatin1Char('/'));
    QStringList keys;
    for (const CS3Bucket::Object &object : std::as_const(objects)) {
        if (!bucket->copy(object.key, target + object.key.mid(folder.size()), {}, error))
            return false;
        keys << object.key;
    }
    if (!bucket->remove(keys, error))
        return false;
    if (movedTo)
        *movedTo = QStringLiteral("s3://%1/%2").arg(bucket->config().bucket, target);
    return true;
}

qint64 CS3SaveStore::storedBytes() const
{
    QList<CS3Bucket::Object> objects;
    if (!bucket->list(objectKey(QString()), &objects, nullptr))
        return -1;
    qint64 total = 0;
    const QString staging = objectKey(stagingFolder());
    for (const CS3Bucket::Object &object : std::as_const(objects)) {
        if (!object.key.startsWith(staging))
            total += object.size;
    }
    return total;
}

bool CS3SaveStore::writable(QString *reason) const
{
    bool unreachable = false;
    return bucket->probe(reason, &unreachable);
}

int CS3SaveStore::removeCutUploads()
{
    return cleanStaging(QDateTime::currentDateTimeUtc().addDays(-1));
}

int CS3SaveStore::cleanStaging(const QDateTime &cutOff)
{
    const QString staging = objectKey(stagingFolder());
    int removed = bucket->abortStale(staging, cutOff);
    QList<CS3Bucket::Object> objects;
    if (!bucket->list(staging, &objects, nullptr))
        return removed;
    QStringList stale;
    for (const CS3Bucket::Object &object : std::as_const(objects)) {
        if (object.modified.isValid() && object.modified < cutOff)
            stale << object.key;
    }
    if (bucket->remove(stale, nullptr))
        removed += int(stale.size());
    return removed;
}
