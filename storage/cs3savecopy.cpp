#include "cs3savecopy.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include "cs3bucket.h"
#include "cs3savestore.h"
#include "csavehistory.h"
#include "csavesum.h"
#include "cuploadname.h"

namespace {

// Locks and other hidden entries of a history folder, and uploads being staged.
bool isStoreOwn(const QString &relative)
{
    if (relative.startsWith(CS3SaveStore::stagingFolder()))
        return true;
    const QStringList steps = relative.split(QLatin1Char('/'));
    return steps.size() >= 3 && CSaveHistory::isFolderName(steps.at(steps.size() - 3))
        && steps.last().startsWith(QLatin1Char('.'));
}

} // namespace

CS3SaveCopy::CS3SaveCopy(const std::shared_ptr<CS3Bucket> &s3Bucket)
    : bucket(s3Bucket)
{
}

bool CS3SaveCopy::isSaveFile(const QString &relativePath)
{
    const QString name = relativePath.section(QLatin1Char('/'), -1);
    if (CSaveSum::isSumFile(name) || name.startsWith(QLatin1String(".partial-")))
        return false;
    // An upload still in flight ("slot1.z.k3f9"); a save named "a.z" is "a.z.z".
    return !libsock::CUploadName::isTemporary(name);
}

bool CS3SaveCopy::bucketEmpty(bool *empty, QString *error)
{
    QList<CS3Bucket::Object> objects;
    if (!bucket->list(bucket->key(QString()), &objects, error))
        return false;
    *empty = true;
    for (const CS3Bucket::Object &object : std::as_const(objects))
        *empty = *empty && isStoreOwn(object.key.mid(bucket->key(QString()).size()));
    return true;
}

bool CS3SaveCopy::clearSaves(QString *error)
{
    QList<CS3Bucket::Object> objects;
    if (!bucket->list(bucket->key(QString()), &objects, error))
        return false;
    QStringList keys;
    for (const CS3Bucket::Object &object : std::as_const(objects)) {
        if (!isStoreOwn(object.key.mid(bucket->key(QString()).size())))
            keys << object.key;
    }
    return keys.isEmpty() || bucket->remove(keys, error);
}

bool CS3SaveCopy::toFolder(const QString &folder, QList<File> *files, QString *error)
{
    QList<CS3Bucket::Object> objects;
    const QString root = bucket->key(QString());
    if (!bucket->list(root, &objects, error))
        return false;
    QList<CS3Bucket::Object> saves;
    qint64 total = 0;
    for (const CS3Bucket::Object &object : std::as_const(objects)) {
        const QString relative = object.key.mid(root.size());
        if (isStoreOwn(relative) || relative.isEmpty() || relative.endsWith(QLatin1Char('/')))
            continue;
        saves << object;
        total += object.size;
    }
    qint64 done = 0;
    qint64 bytes = 0;
    for (const CS3Bucket::Object &object : std::as_const(saves)) {
        const QString relative = object.key.mid(root.size());
        CS3Bucket::Head head;
        if (!bucket->head(object.key, &head, error))
            return false;
        if (!head.found)
            continue; // gone meanwhile: given up, or its user deleted
        const QString path = folder + QLatin1Char('/') + relative;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly)) {
            *error = QStringLiteral("cannot write %1: %2").arg(path, out.errorString());
            return false;
        }
        CSaveSum sum;
        const bool read = bucket->readAll(
            object.key, head,
            [&](const QByteArray &part) {
                sum.add(part);
                return out.write(part) == part.size();
            },
            error);
        if (!read || !out.flush()) {
            if (error->isEmpty())
                *error = QStringLiteral("cannot write %1: %2").arg(path, out.errorString());
            return false;
        }
        out.close();
        File file { relative, head.size, sum.hexResult(), head.sum };
        if (!head.sum.isEmpty() && !CSaveSum::write(path, head.sum)) {
            *error = QStringLiteral("cannot write the sum of %1").arg(path);
            return false;
        }
        *files << file;
        bytes += head.size;
        if (progress)
            progress(++done, bytes, saves.size(), total);
    }
    return true;
}

bool CS3SaveCopy::fromFolder(const QString &folder, QList<File> *files, QString *error)
{
    const QDir root(folder);
    QDirIterator it(
        folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    QList<QFileInfo> found;
    qint64 total = 0;
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (!info.isSymLink() && info.isFile()
            && isSaveFile(root.relativeFilePath(info.filePath()))) {
            found << info;
            total += info.size();
        }
    }
    qint64 done = 0;
    qint64 bytes = 0;
    for (const QFileInfo &info : std::as_const(found)) {
        const QString relative = root.relativeFilePath(info.filePath());
        QFile in(info.filePath());
        if (!in.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read %1: %2").arg(in.fileName(), in.errorString());
            return false;
        }
        const qint64 size = in.size();
        const QString kept = CSaveSum::read(info.filePath());
        // A damaged sum file goes along as it is: the object is as unchecked as the file.
        const QString sum = CSaveSum::isValid(kept) ? kept : QString();
        CSaveSum hash;
        const auto source = [&](qint64 at) {
            in.seek(at);
            const QByteArray part = in.read(qMin(CS3Bucket::PART_BYTES, size - at));
            hash.add(part);
            return part;
        };
        QList<QByteArray> metadata { QByteArrayLiteral("Content-Type: application/octet-stream") };
        if (!sum.isEmpty())
            metadata << CS3Bucket::sumHeader(sum);
        QString why;
        if (!bucket->write(bucket->key(relative), size, source, metadata, &why)) {
            *error = QStringLiteral("cannot store %1: %2").arg(relative, why);
            return false;
        }
        *files << File { relative, size, hash.hexResult(), sum };
        bytes += size;
        if (progress)
            progress(++done, bytes, found.size(), total);
    }
    return true;
}

QStringList CS3SaveCopy::checkBucket(const QList<File> &files)
{
    QStringList problems;
    QList<CS3Bucket::Object> objects;
    QString error;
    const QString root = bucket->key(QString());
    if (!bucket->list(root, &objects, &error))
        return { error };
    QHash<QString, qint64> sizes;
    for (const CS3Bucket::Object &object : std::as_const(objects))
        sizes.insert(object.key.mid(root.size()), object.size);
    for (const File &file : files) {
        if (!sizes.contains(file.path)) {
            problems << QStringLiteral("%1: missing").arg(file.path);
            continue;
        }
        CS3Bucket::Head head;
        if (!bucket->head(bucket->key(file.path), &head, &error))
            problems << QStringLiteral("%1: %2").arg(file.path, error);
        else if (head.size != file.size)
            problems << QStringLiteral("%1: %2 bytes, %3 expected")
                            .arg(file.path)
                            .arg(head.size)
                            .arg(file.size);
        else if (head.sum != file.sum)
            problems
                << QStringLiteral("%1: sum %2, %3 expected").arg(file.path, head.sum, file.sum);
    }
    return problems;
}

QStringList CS3SaveCopy::checkFolder(const QString &folder, const QList<File> &files)
{
    QStringList problems;
    for (const File &file : files) {
        const QString path = folder + QLatin1Char('/') + file.path;
        QString why;
        const QString actual = CSaveSum::compute(path, CSaveSum::CURRENT, &why);
        if (actual.isEmpty())
            problems << QStringLiteral("%1: %2").arg(file.path, why);
        else if (actual != file.carried || QFileInfo(path).size() != file.size)
            problems << QStringLiteral("%1: not the bytes carried").arg(file.path);
        else if (CSaveSum::read(path) != file.sum)
            problems
                << QStringLiteral("%1: its sum file does not hold %2").arg(file.path, file.sum);
    }
    return problems;
}
