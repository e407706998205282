#include "csingleinstance.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QTimer>

namespace {

const QByteArray showRequest = QByteArrayLiteral("show\n");
const QByteArray shownReply = QByteArrayLiteral("shown\n");

// A peer that says nothing is dropped after this long.
constexpr int PEER_TIMEOUT_MS = 2000;

// The path with links resolved, also for a file (or folders) not created yet.
QString resolvedPath(const QString &file)
{
    const QFileInfo info(file);
    if (info.exists())
        return info.canonicalFilePath();
    const QString folder = info.absolutePath();
    if (folder == file || folder.isEmpty())
        return QDir::cleanPath(info.absoluteFilePath());
    return QDir::cleanPath(resolvedPath(folder) + QLatin1Char('/') + info.fileName());
}

qint64 monotonicMs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace

CSingleInstance::CSingleInstance(const QString &name)
{
    const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
    if (!runtimeDir.isEmpty() && QDir(QFile::decodeName(runtimeDir)).exists()) {
        path = QFile::decodeName(runtimeDir) + QLatin1Char('/') + name + QStringLiteral(".lock");
    } else {
        // The temp dir is shared by all users: the user id keeps sessions apart.
        path = QDir::tempPath() + QLatin1Char('/') + name + QLatin1Char('-')
            + QString::number(getuid()) + QStringLiteral(".lock");
    }
}

QString CSingleInstance::nameForIni(
    const QString &base, const QString &iniFile, const QString &defaultIniFile)
{
    const QString ini = resolvedPath(iniFile);
    if (defaultIniFile.isEmpty() || ini == resolvedPath(defaultIniFile))
        return base;
    const QByteArray hash
        = QCryptographicHash::hash(QFile::encodeName(ini), QCryptographicHash::Sha256);
    return base + QLatin1Char('-') + QString::fromLatin1(hash.toHex().left(12));
}

CSingleInstance::~CSingleInstance()
{
    if (fd >= 0)
        ::close(fd);
}

bool CSingleInstance::tryLock()
{
    if (fd >= 0)
        return true;
    const QByteArray native = QFile::encodeName(path);
    const int handle = ::open(native.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (handle < 0)
        return true;
    int rc;
    do {
        rc = ::flock(handle, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const bool held = errno == EWOULDBLOCK;
        ::close(handle);
        return !held;
    }
    fd = handle;
    // Tells a second start which process it met.
    const QByteArray pid = QByteArray::number(qint64(getpid())) + '\n';
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t written = ::pwrite(fd, pid.constData(), pid.size(), 0);
    }
    return true;
}

bool CSingleInstance::serve(QObject *context, const std::function<void()> &onShow)
{
    auto *server = new QLocalServer(context);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // A socket file left by a crashed copy; the lock says no one else serves it now.
    QLocalServer::removeServer(channelPath());
    if (!server->listen(channelPath())) {
        delete server;
        return false;
    }
    QObject::connect(server, &QLocalServer::newConnection, server, [server, onShow] {
        while (QLocalSocket *socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QTimer::singleShot(PEER_TIMEOUT_MS, socket, &QLocalSocket::abort);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, onShow] {
                if (!socket->canReadLine() && socket->bytesAvailable() < showRequest.size())
                    return;
                const QByteArray request = socket->read(showRequest.size());
                if (request == showRequest) {
                    onShow();
                    socket->write(shownReply);
                    socket->flush();
                }
                socket->disconnectFromServer();
            });
        }
    });
    return true;
}

qint64 CSingleInstance::holderPid() const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    bool ok = false;
    const qint64 pid = file.readLine(32).trimmed().toLongLong(&ok);
    return ok && pid > 0 ? pid : 0;
}

bool CSingleInstance::askToShow(int timeoutMs) const
{
    // Plain POSIX calls: this runs before any application object exists.
    const QByteArray native = QFile::encodeName(channelPath());
    sockaddr_un address {};
    if (native.size() >= int(sizeof(address.sun_path)))
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, native.constData(), native.size());

    const int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return false;
    bool shown = false;
    if (::connect(sock, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0
        && ::send(sock, showRequest.constData(), showRequest.size(), MSG_NOSIGNAL)
            == showRequest.size()) {
        const qint64 deadline = monotonicMs() + timeoutMs;
        QByteArray reply;
        for (;;) {
            const qint64 left = deadline - monotonicMs();
            if (left <= 0)
                break;
            pollfd pfd { sock, POLLIN, 0 };
            const int ready = ::poll(&pfd, 1, int(left));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                break;
            char buffer[16];
            const ssize_t got = ::recv(sock, buffer, sizeof(buffer), 0);
            if (got <= 0)
                break;
            reply.append(buffer, got);
            if (reply.size() >= shownReply.size())
                break;
        }
        shown = reply.startsWith(shownReply);
    }
    ::close(sock);
    return shown;
}

void CSingleInstance::announceSecondStart() const
{
    const qint64 pid = holderPid();
    const QString process = pid ? QString::number(pid) : QStringLiteral("unknown");
    QString text;
    if (askToShow()) {
        text = QCoreApplication::translate("CSingleInstance",
            "Tolvern Data Server already runs (process %1); its window was brought to the front.")
                   .arg(process);
    } else {
        text = QCoreApplication::translate(
            "CSingleInstance", "Tolvern Data Server already runs (process %1, lock %2).")
                   .arg(process, path);
    }
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}
