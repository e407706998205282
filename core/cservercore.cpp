#include "cservercore.h"

#include <QHostAddress>

#include "cserverfileconn.h"
#include "cserversettings.h"
#include "ctolvernserver.h"
#include "ctolvernserverconn.h"

namespace {
// Room for thousands of clients connecting at once.
constexpr int LISTEN_BACKLOG = 1024;
} // namespace

CServerCore::CServerCore(QObject *parent)
    : QObject(parent)
{
}

CServerCore::~CServerCore() = default;

void CServerCore::setPortOverrides(int mainPort, int filePort)
{
    mainPortOverride = mainPort;
    filePortOverride = filePort;
}

bool CServerCore::start()
{
    const CServerSettings *settings = CServerSettings::instance();
    const int mainPort = mainPortOverride ? mainPortOverride : settings->mainPort;
    const int filePort = filePortOverride ? filePortOverride : settings->filePort;

    // Only the low 16 bits of a port setting count. The listeners are IPv4 only, so peers
    // show in dotted decimal.
    protoServer = new CTolvernServer(this);
    protoServer->setObjectName(QStringLiteral("protoServer"));
    protoServer->setListenBacklogSize(LISTEN_BACKLOG);
    connect(
        protoServer, &CTolvernServer::clientConnected, this, &CServerCore::protoClientConnected);
    if (protoServer->listen(QHostAddress::AnyIPv4, static_cast<quint16>(mainPort)))
        log(tr("Main control server listen succeed"));
    else
        log(tr("Main control server listen failed => %1").arg(protoServer->errorString()));

    fileServer = new CTolvernServer(this);
    fileServer->setObjectName(QStringLiteral("fileServer"));
    fileServer->setListenBacklogSize(LISTEN_BACKLOG);
    connect(fileServer, &CTolvernServer::clientConnected, this, &CServerCore::fileClientConnected);
    if (fileServer->listen(QHostAddress::AnyIPv4, static_cast<quint16>(filePort)))
        log(tr("File transfer server listen succeed"));
    else
        log(tr("File transfer server listen  failed => %1").arg(fileServer->errorString()));

    return controlListening() && fileListening();
}

bool CServerCore::controlListening() const
{
    return protoServer && protoServer->isListening();
}

bool CServerCore::fileListening() const
{
    return fileServer && fileServer->isListening();
}

QString CServerCore::controlError() const
{
    return protoServer ? protoServer->errorString() : QString();
}

QString CServerCore::fileError() const
{
    return fileServer ? fileServer->errorString() : QString();
}

quint16 CServerCore::controlPort() const
{
    return protoServer ? protoServer->serverPort() : 0;
}

quint16 CServerCore::filePort() const
{
    return fileServer ? fileServer->serverPort() : 0;
}

void CServerCore::protoClientConnected(int stockfd)
{
    auto *conn = new CTolvernServerConn(this);
    conn->setSocketDescriptor(stockfd, QAbstractSocket::ConnectedState, QIODevice::ReadWrite);
    connect(conn, &CTolvernServerConn::disconnected, this, &CServerCore::protoClientDisconnected);
    connect(conn, &CTolvernServerConn::log, this, &CServerCore::log);
    protoConns.append(conn);
    log(tr("Control client connected from %1").arg(conn->peerAddress().toString()));
}

void CServerCore::protoClientDisconnected()
{
    auto *conn = qobject_cast<CTolvernServerConn *>(sender());
    if (!conn)
        return;
    protoConns.removeOne(conn);
    conn->deleteLater();
    log(tr("Control client disconnected from %1").arg(conn->peerAddress().toString()));
}

void CServerCore::fileClientConnected(int stockfd)
{
    auto *conn = new libsock::CServerFileConn(CServerSettings::instance()->saveDataDir, this);
    conn->setSocketDescriptor(stockfd, QAbstractSocket::ConnectedState, QIODevice::ReadWrite);
    conn->setAdapter(this);
    connect(
        conn, &libsock::CServerFileConn::disconnected, this, &CServerCore::fileClientDisconnected);
    fileConns.append(conn);
    log(tr("File client connected from %1").arg(conn->peerAddress().toString()));
}

void CServerCore::fileClientDisconnected()
{
    auto *conn = qobject_cast<libsock::CServerFileConn *>(sender());
    if (!conn)
        return;
    fileConns.removeOne(conn);
    conn->deleteLater();
    log(tr("File client disconnected from %1").arg(conn->peerAddress().toString()));
}

void CServerCore::log(QString msg)
{
    emit lineLogged(msg);
}

bool CServerCore::requestTransfer(const QString &user, const QString &detail)
{
    Q_UNUSED(detail);
    log(tr("%1 request transfer savedat").arg(user));
    return true;
}

QString CServerCore::downloadFileName(const QString &saveName)
{
    // The connection refuses such a name; the log says so instead of naming a download.
    if (!libsock::CServerFileConn::isSafeName(saveName))
        log(tr("Transfer refused: unsafe save name %1").arg(saveName));
    else
        log(tr("Download %1.z").arg(saveName));
    return saveName + QStringLiteral(".z");
}

QString CServerCore::uploadFileName(const QString &saveName)
{
    if (!libsock::CServerFileConn::isSafeName(saveName))
        log(tr("Transfer refused: unsafe save name %1").arg(saveName));
    else
        log(tr("Upload %1.z").arg(saveName));
    return saveName + QStringLiteral(".z");
}
