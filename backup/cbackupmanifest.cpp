#include "cbackupmanifest.h"

#include <atomic>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSet>

#include "cparalleljobs.h"
#include "csavesum.h"

namespace {

QString stamp(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QString sumKey(const QString &sum)
{
    return CSaveSum::kindOf(sum) == CSaveSum::Kind::Sha256 ? QStringLiteral("sha256")
                                                           : QStringLiteral("xxh128");
}

bool syncPath(const QString &path, int flags)
{
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

} // namespace

const QString &CBackupManifest::fileName()
{
    static const QString name = QStringLiteral("MANIFEST.json");
    return name;
}

qint64 CBackupManifest::totalBytes() const
{
    qint64 total = 0;
    for (const File &file : files)
        total += file.size;
    return total;
}

bool CBackupManifest::isSafePath(const QString &path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char('\\'))
        || path.contains(QChar(0)) || path == fileName())
        return false;
    for (const QString &step : path.split(QLatin1Char('/'))) {
        if (step.isEmpty() || step == QLatin1String(".") || step == QLatin1String(".."))
            return false;
    }
    return true;
}

QByteArray CBackupManifest::toJson() const
{
    QJsonArray list;
    for (const File &file : files) {
        QJsonObject entry { { QStringLiteral("path"), file.path },
            { QStringLiteral("size"), file.size }, { sumKey(file.sum), file.sum } };
        if (file.mtimeNs > 0)
            entry.insert(QStringLiteral("sourceMtimeNs"), QString::number(file.mtimeNs));
        list.append(entry);
    }
    QJsonObject root { { QStringLiteral("format"), FORMAT },
        { QStringLiteral("serverVersion"), serverVersion },
        { QStringLiteral("created"), stamp(created) },
        { QStringLiteral("database"), databaseEngine }, { QStringLiteral("users"), userCount },
        { QStringLiteral("files"), list } };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool CBackupManifest::fromJson(const QByteArray &json, QString *errorText)
{
    const auto fail = [&](const QString &text) {
        if (errorText)
            *errorText = text;
        return false;
    };
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (!document.isObject())
        return fail(
            QStringLiteral("%1 is no JSON object: %2").arg(fileName(), parseError.errorString()));
    const QJsonObject root = document.object();
    const int format = root.value(QStringLiteral("format")).toInt();
    if (format != FORMAT && format != 1)
        return fail(QStringLiteral("%1 has an unknown format %2")
                        .arg(fileName())
                        .arg(root.value(QStringLiteral("format")).toVariant().toString()));
    serverVersion = root.value(QStringLiteral("serverVersion")).toString();
    created = QDateTime::fromString(root.value(QStringLiteral("created")).toString(), Qt::ISODate);
    databaseEngine = root.value(QStringLiteral("database")).toString();
    userCount = root.value(QStringLiteral("users")).toInteger(-1);
    files.clear();
    QSet<QString> seen;
    for (const QJsonValue &value : root.value(QStringLiteral("files")).toArray()) {
        const QJsonObject object = value.toObject();
        File file;
        file.path = object.value(QStringLiteral("path")).toString();
        file.size = object.value(QStringLiteral("size")).toInteger(-1);
        // Each file's sum under the name of its kind, and of the kind its name says.
        const QString key = format == 1 ? QStringLiteral("sha256") : QStringLiteral("xxh128");
        file.sum = object.value(key).toString();
        file.mtimeNs = object.value(QStringLiteral("sourceMtimeNs")).toString().toLongLong();
        if (!isSafePath(file.path) || file.size < 0 || !CSaveSum::isValid(file.sum)
            || sumKey(file.sum) != key || seen.contains(file.path))
            return fail(
                QStringLiteral("%1 names a file it may not: \"%2\"").arg(fileName(), file.path));
        seen.insert(file.path);
        files << file;
    }
    if (!created.isValid())
        return fail(QStringLiteral("%1 has no valid creation time").arg(fileName()));
    return true;
}

bool CBackupManifest::save(const QString &dir, QString *errorText) const
{
    const QString path = dir + QLatin1Char('/') + fileName();
    const QString partial = path + QStringLiteral(".partial");
    QFile file(partial);
    const QByteArray json = toJson();
    bool ok = file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(json) == json.size() && file.flush() && ::fsync(file.handle()) == 0;
    const QString why = file.errorString();
    file.close();
    ok = ok
        && ::rename(QFile::encodeName(partial).constData(), QFile::encodeName(path).constData())
            == 0;
    // The backup counts as whole once this name is on disk.
    ok = ok && syncPath(dir, O_RDONLY | O_DIRECTORY);
    if (!ok) {
        QFile::remove(partial);
        if (errorText)
            *errorText = QStringLiteral("cannot write %1: %2").arg(path, why);
    }
    return ok;
}

bool CBackupManifest::load(const QString &dir, QString *errorText)
{
    QFile file(dir + QLatin1Char('/') + fileName());
    if (!file.open(QIODevice::ReadOnly)) {
        if (errorText)
            *errorText = QStringLiteral("no readable %1 in %2 (%3): not a backup, or an "
                                        "unfinished one")
                             .arg(fileName(), dir, file.errorString());
        return false;
    }
    return fromJson(file.readAll(), errorText);
}

QStringList CBackupManifest::verify(
    const QString &dir, const std::function<void(qint64 files, qint64 bytes)> &progress) const
{
    std::mutex lock;
    QStringList problems;
    QHash<QString, int> listed;
    for (int i = 0; i < files.size(); ++i)
        listed.insert(files.at(i).path, i);

    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    const QDir root(dir);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = root.relativeFilePath(info.filePath());
        if (info.isDir() && !info.isSymLink())
            continue;
        if (relative == fileName())
            continue;
        if (!listed.contains(relative))
            problems << QStringLiteral("%1: not in the manifest").arg(relative);
    }

    CParallelJobs::run(int(files.size()), [&](int index) {
        const File &file = files.at(index);
        const QString path = dir + QLatin1Char('/') + file.path;
        QString problem;
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
            problem = QStringLiteral("%1: missing").arg(file.path);
        } else if (st.st_size != file.size) {
            problem = QStringLiteral("%1: %2 bytes, the manifest says %3")
                          .arg(file.path)
                          .arg(qint64(st.st_size))
                          .arg(file.size);
        } else {
            QString why;
            const QString sum = CSaveSum::compute(path, CSaveSum::kindOf(file.sum), &why);
            if (sum.isEmpty())
                problem = QStringLiteral("%1: cannot be read (%2)").arg(file.path, why);
            else if (sum != file.sum)
                problem = QStringLiteral("%1: %2 differs from the manifest")
                              .arg(file.path, CSaveSum::kindName(file.sum));
        }
        std::lock_guard<std::mutex> guard(lock);
        if (!problem.isEmpty())
            problems << problem;
        if (progress)
            progress(1, file.size);
    });
    problems.sort();
    return problems;
}
