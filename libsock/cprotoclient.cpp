#include "cprotoclient.h"

#include <QEventLoop>
#include <QSslError>
#include <QStringList>
#include <QTimer>
#include <QtEndian>

namespace libsock {

namespace {

// The base's own timers only back ours up: ours must fire first to report a time-out.
constexpr int BACKSTOP_MARGIN_MS = 5000;

} // namespace

QString clientErrorText(ClientError error)
{
    switch (error) {
    case ClientError::None:
        return QStringLiteral("no error");
    case ClientError::ConnectionRefused:
        return QStringLiteral("connection refused");
    case ClientError::HostNotFound:
        return QStringLiteral("host not found");
    case ClientError::Timeout:
        return QStringLiteral("timed out");
    case ClientError::ConnectionClosed:
        return QStringLiteral("connection closed by the server before the end");
    case ClientError::Protocol:
        return QStringLiteral("unexpected data from the server");
    case ClientError::Network:
        return QStringLiteral("network error");
    case ClientError::LocalFile:
        return QStringLiteral("local file error");
    case ClientError::NotStored:
        return QStringLiteral("the server could not store the file (connection reset)");
    case ClientError::TlsHandshake:
        return QStringLiteral("TLS handshake failed");
    }
    return QString();
}

ClientError clientErrorFor(QAbstractSocket::SocketError socketError)
{
    switch (socketError) {
    case QAbstractSocket::ConnectionRefusedError:
        return ClientError::ConnectionRefused;
    case QAbstractSocket::HostNotFoundError:
        return ClientError::HostNotFound;
    case QAbstractSocket::SocketTimeoutError:
        return ClientError::Timeout;
    case QAbstractSocket::RemoteHostClosedError:
        return ClientError::ConnectionClosed;
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        return ClientError::TlsHandshake;
    default:
        return ClientError::Network;
    }
}

CProtoClient::CProtoClient(QObject *parent)
    : CAbstractProtoConn(parent)
    , timer(new QTimer(this))
{
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this] {
        fail(ClientError::Timeout);
        abort();
    });
    connect(this, &QAbstractSocket::connected, this, &CProtoClient::onConnected);
    connect(this, &QSslSocket::encrypted, this, &CProtoClient::onEncrypted);
    connect(this, &QSslSocket::sslErrors, this, &CProtoClient::onSslErrors);
    connect(this, &QAbstractSocket::errorOccurred, this, &CProtoClient::onSocketError);
    connect(this, &QAbstractSocket::disconnected, this, &CProtoClient::onDisconnected);
    setTimeout(DEFAULT_TIMEOUT_MS);
}

CProtoClient::~CProtoClient() = default;

void CProtoClient::setTimeout(int msec)
{
    timeoutMs = msec > 0 ? msec : DEFAULT_TIMEOUT_MS;
    setRecvTimeout(timeoutMs + BACKSTOP_MARGIN_MS);
}

bool CProtoClient::connectToServer(const QString &host, quint16 port)
{
    if (phase != Phase::Idle)
        return false;
    // Already on its way or there: no new connection, and no wait for a signal that never comes.
    if (state() != QAbstractSocket::UnconnectedState)
        return state() == QAbstractSocket::ConnectedState;
    lastError = ClientError::None;
    tlsError.clear();
    if (tls.enabled && !tls.apply(*this, &tlsError)) {
        lastError = ClientError::TlsHandshake;
        return false;
    }
    phase = Phase::Connecting;
    timer->start(timeoutMs);
    if (tls.enabled)
        connectToHostEncrypted(host, port);
    else
        connectToHost(host, port);
    return waitForIdle() && state() == QAbstractSocket::ConnectedState;
}

bool CProtoClient::addUser(const QString &name, const QString &password)
{
    return sendAddUser(name, password) && waitForIdle();
}

bool CProtoClient::login(const QString &name, const QString &password)
{
    return sendLogin(name, password) && waitForIdle();
}

bool CProtoClient::changePassword(
    qint32 objectId, const QString &oldPassword, const QString &newPassword)
{
    return sendChangePassword(objectId, oldPassword, newPassword) && waitForIdle();
}

CProtoPacket &CProtoClient::addUserRequest(
    CProtoPacket &packet, const QString &name, const QString &password)
{
    return packet.reset()
        .setAuxByte(0)
        .setCommand(CMD_ADD_USER)
        .writeString(name)
        .writeString(password);
}

CProtoPacket &CProtoClient::loginRequest(
    CProtoPacket &packet, const QString &name, const QString &password)
{
    return packet.reset().setAuxByte(0).setCommand(CMD_LOGIN).writeString(name).writeString(
        password);
}

bool CProtoClient::sendAddUser(const QString &name, const QString &password)
{
    CProtoPacket request;
    return sendRequest(addUserRequest(request, name, password), CMD_ADD_USER_REPLY);
}

bool CProtoClient::sendLogin(const QString &name, const QString &password)
{
    CProtoPacket request;
    return sendRequest(loginRequest(request, name, password), CMD_LOGIN_REPLY);
}

bool CProtoClient::sendChangePassword(
    qint32 objectId, const QString &oldPassword, const QString &newPassword)
{
    CProtoPacket request;
    request.reset().setAuxByte(0).setCommand(CMD_CHANGE_PASS);
    request.writeInt32(objectId).writeString(oldPassword).writeString(newPassword);
    return sendRequest(request, CMD_CHANGE_PASS_REPLY);
}

bool CProtoClient::sendRequest(const CProtoPacket &request, quint8 replyCommand)
{
    if (phase != Phase::Idle)
        return false;
    lastResult = 0;
    lastObjectId = 0;
    if (state() != QAbstractSocket::ConnectedState) {
        lastError = ClientError::ConnectionClosed;
        return false;
    }
    lastError = ClientError::None;
    expectedReply = replyCommand;
    phase = Phase::AwaitingReply;
    timer->start(timeoutMs);
    writePacket(*this, request);
    return true;
}

bool CProtoClient::waitForIdle()
{
    if (phase != Phase::Idle) {
        QEventLoop loop;
        waitLoop = &loop;
        loop.exec();
        waitLoop = nullptr;
    }
    return lastError == ClientError::None;
}

void CProtoClient::finish()
{
    phase = Phase::Idle;
    expectedReply = 0;
    timer->stop();
    if (waitLoop)
        waitLoop->quit();
}

void CProtoClient::fail(ClientError error)
{
    if (phase == Phase::Idle)
        return;
    lastError = error;
    finish();
    emit failed(error);
}

bool CProtoClient::processPacket()
{
    // The server only ever answers; anything else, or a reply to another command, ends it.
    if (phase != Phase::AwaitingReply || packet.command() != expectedReply) {
        fail(ClientError::Protocol);
        return false;
    }
    const int needed = expectedReply == CMD_CHANGE_PASS_REPLY ? 1 : 5;
    if (packet.bodyLength() < needed) {
        fail(ClientError::Protocol);
        return false;
    }
    const char *body = packet.data() + PACKET_HEADER_SIZE;
    lastResult = quint8(body[0]);
    lastObjectId = needed == 5 ? qFromBigEndian<qint32>(body + 1) : 0;
    finish();
    emit replyReceived(lastResult, lastObjectId);
    return true;
}

void CProtoClient::onConnected()
{
    // Under TLS the connection is made once the handshake is through.
    if (phase == Phase::Connecting && !tls.enabled)
        finish();
}

void CProtoClient::onEncrypted()
{
    if (phase == Phase::Connecting)
        finish();
}

void CProtoClient::onSslErrors(const QList<QSslError> &errors)
{
    QStringList texts;
    for (const QSslError &error : errors)
        texts << error.errorString();
    tlsError = texts.join(QStringLiteral("; "));
}

void CProtoClient::onSocketError(QAbstractSocket::SocketError socketError)
{
    // Whatever ends a connection that is up but not yet encrypted ends its handshake.
    ClientError error = clientErrorFor(socketError);
    if (tls.endsHandshake(phase == Phase::Connecting, error == ClientError::Timeout, socketError))
        error = ClientError::TlsHandshake;
    if (error == ClientError::TlsHandshake && tlsError.isEmpty())
        tlsError = errorString();
    fail(error);
}

void CProtoClient::onDisconnected()
{
    fail(ClientError::ConnectionClosed);
}

} // namespace libsock
