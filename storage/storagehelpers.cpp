#include "storagehelpers.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QSaveFile>
#include <QString>

namespace {

QString autostartDir()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    // The XDG rules ignore a relative value.
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/autostart");
}

// The value name becomes a file name; it must not lead out of the autostart folder.
bool isValidEntryName(const QString &name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0))
        && name != QLatin1String(".") && name != QLatin1String("..");
}

QString entryPath(const QString &valueName)
{
    return autostartDir() + QLatin1Char('/') + valueName + QStringLiteral(".desktop");
}

// Escapes of a desktop-entry string value.
QString escapeValue(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('\\'))
            out += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\n'))
            out += QStringLiteral("\\n");
        else if (c == QLatin1Char('\r'))
            out += QStringLiteral("\\r");
        else if (c == QLatin1Char('\t'))
            out += QStringLiteral("\\t");
        else
            out += c;
    }
    return out;
}

// Exec= keeps the double quotes around the path; inside them ", `, $ and \ need a backslash,
// and a literal % is written %%, so that any path survives the launcher's parsing.
QString execValue(const QString &data)
{
    QString command;
    if (data.size() >= 2 && data.startsWith(QLatin1Char('"')) && data.endsWith(QLatin1Char('"'))) {
        const QString inner = data.mid(1, data.size() - 2);
        command += QLatin1Char('"');
        for (const QChar c : inner) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$')
                || c == QLatin1Char('\\'))
                command += QLatin1Char('\\');
            command += c;
        }
        command += QLatin1Char('"');
    } else {
        command = data;
    }
    command.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return escapeValue(command);
}

bool removeEntry(int parentFd, const char *name);

// Removes everything inside the open directory fd (which it closes), in the order the file
// system lists the entries, stopping at the first one that cannot be removed.
bool removeContents(int fd)
{
    DIR *dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return false;
    }
    // Read the names first: removing entries while reading the directory may skip some.
    QList<QByteArray> names;
    bool ok = true;
    for (;;) {
        errno = 0;
        const dirent *entry = readdir(dir);
        if (!entry) {
            ok = errno == 0;
            break;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        names.append(QByteArray(entry->d_name));
    }
    for (int i = 0; ok && i < names.size(); ++i)
        ok = removeEntry(dirfd(dir), names.at(i).constData());
    closedir(dir);
    return ok;
}

// Makes a directory we own readable, writable and searchable so that it can be emptied.
void makeUsable(int parentFd, const char *name, const struct stat &st)
{
    if ((st.st_mode & S_IRWXU) == S_IRWXU)
        return;
    // A failure shows when its entries cannot be removed.
    [[maybe_unused]] const int changed
        = fchmodat(parentFd, name, (st.st_mode & 07777) | S_IRWXU, 0);
}

// An entry someone else removed meanwhile (two servers finishing the same purge) is gone,
// which is all that was asked.
bool goneAlready()
{
    return errno == ENOENT;
}

bool removeEntry(int parentFd, const char *name)
{
    struct stat st;
    if (fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return goneAlready();
    // Files, links (never followed), sockets and the like go with one unlink.
    if (!S_ISDIR(st.st_mode))
        return unlinkat(parentFd, name, 0) == 0 || goneAlready();

    makeUsable(parentFd, name, st);
    const int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return goneAlready();
    if (!removeContents(fd))
        return false;
    return unlinkat(parentFd, name, AT_REMOVEDIR) == 0 || goneAlready();
}

} // namespace

bool writeRunValue(const QString &valueName, const QString &data, QString *errorString)
{
    const auto fail = [&](const QString &reason) {
        if (errorString)
            *errorString = QStringLiteral("%1: %2").arg(entryPath(valueName), reason);
        return false;
    };
    if (!isValidEntryName(valueName))
        return fail(QStringLiteral("invalid entry name"));
    if (!QDir().mkpath(autostartDir()))
        return fail(QStringLiteral("cannot create the folder %1").arg(autostartDir()));

    const QString text
        = QStringLiteral("[Desktop Entry]\n"
                         "Type=Application\n"
                         "Name=%1\n"
                         "Exec=%2\n"
                         "Path=%3\n"
                         "Terminal=false\n"
                         "X-GNOME-Autostart-enabled=true\n")
              .arg(escapeValue(valueName), execValue(data), escapeValue(QDir::currentPath()));
    const QByteArray bytes = text.toUtf8();

    QSaveFile file(entryPath(valueName));
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    if (file.write(bytes) != bytes.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return fail(reason);
    }
    if (!file.commit())
        return fail(file.errorString());
    return true;
}

QString runEntryPath(const QString &valueName)
{
    return isValidEntryName(valueName) ? entryPath(valueName) : QString();
}

void deleteRunValue(const QString &valueName)
{
    // A missing entry is fine.
    if (isValidEntryName(valueName))
        QFile::remove(entryPath(valueName));
}

bool deleteDirectoryTree(const QString &directory)
{
    QByteArray path = QFile::encodeName(directory);
    // A trailing slash would make lstat() follow a link.
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    if (path.isEmpty() || path == "/")
        return false;

    struct stat st;
    if (lstat(path.constData(), &st) != 0)
        return false;
    if (S_ISLNK(st.st_mode)) {
        // A link to a directory goes by itself; what it points to is not ours to delete.
        struct stat target;
        if (stat(path.constData(), &target) != 0 || !S_ISDIR(target.st_mode))
            return false;
        return unlink(path.constData()) == 0;
    }
    if (!S_ISDIR(st.st_mode))
        return false;

    makeUsable(AT_FDCWD, path.constData(), st);
    const int fd = open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (!removeContents(fd))
        return false;
    return rmdir(path.constData()) == 0;
}

QByteArray nativePath(const QString &path)
{
    return QFile::encodeName(path);
}

QStringList folderEntries(const QString &dir)
{
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

bool statRegularFile(const QString &path, struct stat &st)
{
    return ::lstat(nativePath(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}
