#include "cfileclient.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QEventLoop>
#include <QIODevice>
#include <QSslError>
#include <QStringList>
#include <QTimer>
#include <QtEndian>

#include "cserverfileconn.h"

namespace libsock {

namespace {

// The base's own timers only back ours up: ours must fire first to report a time-out.
constexpr int BACKSTOP_MARGIN_MS = 5000;
// Fewer, larger writes: the sink is usually a file on disk.
constexpr int SINK_BATCH = 1024 * 1024;
constexpr int UPLOAD_CACHE_SIZE = 1024 * 1024;

} // namespace

CFileClient::CFileClient(QObject *parent)
    : CAbstractFileConn(parent)
    , timer(new QTimer(this))
{
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this] {
        fail(ClientError::Timeout);
        abort();
    });
    connect(this, &QAbstractSocket::connected, this, &CFileClient::onConnected);
    connect(this, &QSslSocket::encrypted, this, &CFileClient::onEncrypted);
    connect(this, &QSslSocket::sslErrors, this, &CFileClient::onSslErrors);
    connect(this, &QAbstractSocket::errorOccurred, this, &CFileClient::onSocketError);
    connect(this, &QAbstractSocket::disconnected, this, &CFileClient::onDisconnected);
    connect(this, &QIODevice::bytesWritten, this, &CFileClient::touch);
    connect(this, &CAbstractFileConn::working, this, &CFileClient::onWorking);
    connect(this, &CAbstractFileConn::workFinal, this, &CFileClient::onSendFinished);
    setTimeout(DEFAULT_TIMEOUT_MS);
    setSendChunkLimit(UPLOAD_CACHE_SIZE);
}

CFileClient::~CFileClient()
{
    releaseEndWatch();
}

void CFileClient::setTimeout(int msec)
{
    timeoutMs = msec > 0 ? msec : DEFAULT_TIMEOUT_MS;
    setRecvTimeout(timeoutMs + BACKSTOP_MARGIN_MS);
    setStallTimeout(timeoutMs + BACKSTOP_MARGIN_MS);
}

bool CFileClient::connectToServer(const QString &host, quint16 port)
{
    if (phase != Phase::Idle)
        return false;
    // Already on its way or there: no new connection, and no wait for a signal that never comes.
    if (state() != QAbstractSocket::UnconnectedState)
        return state() == QAbstractSocket::ConnectedState;
    lastError = ClientError::None;
    lastResult = FILE_OK;
    tlsError.clear();
    if (tls.enabled && !tls.apply(*this, &tlsError)) {
        lastError = ClientError::TlsHandshake;
        return false;
    }
    phase = Phase::Connecting;
    touch();
    if (tls.enabled)
        connectToHostEncrypted(host, port);
    else
        connectToHost(host, port);
    return waitForFinished() && state() == QAbstractSocket::ConnectedState;
}

bool CFileClient::download(
    const QString &user, const QString &detail, const QString &saveName, QIODevice &sink)
{
    return startDownload(user, detail, saveName, &sink) && waitForFinished();
}

bool CFileClient::upload(
    const QString &user, const QString &detail, const QString &saveName, QIODevice &source)
{
    return startUpload(user, detail, saveName, &source) && waitForFinished();
}

bool CFileClient::startDownload(
    const QString &user, const QString &detail, const QString &saveName, QIODevice *sink)
{
    if (!sink || !sink->isWritable()) {
        lastError = ClientError::LocalFile;
        return false;
    }
    if (!begin(Phase::AwaitingDownloadReply))
        return false;
    device = sink;
    sendRequest(FILE_CMD_DOWNLOAD, user, detail, saveName);
    return true;
}

bool CFileClient::startUpload(
    const QString &user, const QString &detail, const QString &saveName, QIODevice *source)
{
    if (!source || !source->isReadable()) {
        lastError = ClientError::LocalFile;
        return false;
    }
    if (!begin(Phase::AwaitingUploadReply))
        return false;
    device = source;
    total = source->size();
    sendRequest(FILE_CMD_UPLOAD, user, detail, saveName);
    return true;
}

bool CFileClient::waitForFinished()
{
    if (phase != Phase::Idle) {
        QEventLoop loop;
        waitLoop = &loop;
        loop.exec();
        waitLoop = nullptr;
    }
    return lastOk;
}

bool CFileClient::begin(Phase next)
{
    if (phase != Phase::Idle || isSending())
        return false;
    lastResult = FILE_OK;
    lastOk = false;
    total = 0;
    done = 0;
    if (state() != QAbstractSocket::ConnectedState) {
        lastError = ClientError::ConnectionClosed;
        return false;
    }
    lastError = ClientError::None;
    phase = next;
    touch();
    return true;
}

void CFileClient::sendRequest(
    quint8 command, const QString &user, const QString &detail, const QString &saveName)
{
    packet.reset().setAuxByte(0).setCommand(command);
    packet.writeString(user).writeString(detail).writeString(saveName);
    if (command == FILE_CMD_DOWNLOAD)
        packet.writeInt64(0);
    sendPacket(packet);
}

void CFileClient::processFrame()
{
    touch();
    if (header.type() != FRAME_CONTROL) {
        receiveData();
        return;
    }
    const quint8 command = packet.command();
    if (command == FILE_CMD_DOWNLOAD_REPLY && phase == Phase::AwaitingDownloadReply)
        handleDownloadReply();
    else if (command == FILE_CMD_UPLOAD_REPLY && phase == Phase::AwaitingUploadReply)
        handleUploadReply();
    else if (command == FILE_CMD_END && phase == Phase::Receiving)
        handleEnd();
    else {
        fail(ClientError::Protocol);
        abort();
    }
}

void CFileClient::handleDownloadReply()
{
    const char *body = packet.data() + PACKET_HEADER_SIZE;
    const int length = packet.bodyLength();
    if (length >= 1 && quint8(body[0]) != FILE_OK) {
        refused(quint8(body[0]));
        return;
    }
    const qint64 size = length >= 9 ? qFromBigEndian<qint64>(body + 1) : -1;
    if (size < 0) {
        fail(ClientError::Protocol);
        abort();
        return;
    }
    total = size;
    phase = Phase::Receiving;
    emit progress(0, total);
    packet.reset().setAuxByte(0).setCommand(FILE_CMD_START);
    sendPacket(packet);
}

void CFileClient::handleUploadReply()
{
    const int length = packet.bodyLength();
    const quint8 code = length >= 1 ? quint8(packet.data()[PACKET_HEADER_SIZE]) : FILE_OK;
    if (length < 1 || !device) {
        fail(length < 1 ? ClientError::Protocol : ClientError::LocalFile);
        abort();
        return;
    }
    if (code != FILE_OK) {
        refused(code);
        return;
    }
    phase = Phase::Sending;
    emit progress(0, total);
    // A client may queue more than the server does: fewer wake-ups per megabyte sent.
    sendFile(*device, SEND_BUF_SIZE, UPLOAD_CACHE_SIZE);
}

void CFileClient::receiveData()
{
    const qint64 length = header.length;
    // More bytes than announced would make a different file than the one asked for.
    if (phase != Phase::Receiving || done + length > total) {
        fail(ClientError::Protocol);
        abort();
        return;
    }
    pending.append(recvBuffer.constData() + FRAME_HEADER_SIZE, length);
    if (pending.size() >= SINK_BATCH && !writePending())
        return;
    done += length;
    emit progress(done, total);
}

bool CFileClient::writePending()
{
    if (!device || device->write(pending) != pending.size()) {
        fail(ClientError::LocalFile);
        abort();
        return false;
    }
    pending.resize(0);
    return true;
}

void CFileClient::handleEnd()
{
    if (done != total) {
        fail(ClientError::Protocol);
        abort();
        return;
    }
    if (writePending())
        finish(true);
}

void CFileClient::finish(bool ok)
{
    releaseEndWatch();
    phase = Phase::Idle;
    lastOk = ok;
    device = nullptr;
    pending.clear();
    timer->stop();
    if (waitLoop)
        waitLoop->quit();
    emit finished(ok);
}

void CFileClient::fail(ClientError error)
{
    if (phase == Phase::Idle)
        return;
    lastError = error;
    finish(false);
}

void CFileClient::refused(quint8 resultCode)
{
    lastResult = resultCode;
    finish(false);
}

void CFileClient::touch()
{
    if (phase != Phase::Idle)
        timer->start(timeoutMs);
}

void CFileClient::onConnected()
{
    // Under TLS the connection is made once the handshake is through.
    if (phase == Phase::Connecting && !tls.enabled)
        finish(true);
}

void CFileClient::onEncrypted()
{
    if (phase == Phase::Connecting)
        finish(true);
}

void CFileClient::onSslErrors(const QList<QSslError> &errors)
{
    QStringList texts;
    for (const QSslError &error : errors)
        texts << error.errorString();
    tlsError = texts.join(QStringLiteral("; "));
}

bool CFileClient::peerReset() const
{
    // The socket closes its descriptor before it reports the end, so the copy kept since
    // the upload was sent tells: FIN leaves the connection waiting for our close, a reset
    // has closed it already.
    tcp_info info {};
    socklen_t size = sizeof info;
    if (endWatch < 0 || ::getsockopt(endWatch, IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return true;
    // Under TLS the server's orderly end is its close_notify, which may be read before the
    // FIN behind it arrives; only a reset (which sends no close_notify) closes the socket.
    if (tls.enabled)
        return info.tcpi_state == TCP_CLOSE;
    return info.tcpi_state != TCP_CLOSE_WAIT;
}

void CFileClient::releaseEndWatch()
{
    if (endWatch >= 0) {
        ::close(endWatch);
        endWatch = -1;
    }
}

void CFileClient::onSocketError(QAbstractSocket::SocketError socketError)
{
    // The server ends an upload with an orderly close once the file is safely in place, and
    // with a reset when it could not store it.
    if (phase == Phase::AwaitingClose) {
        if (socketError == QAbstractSocket::RemoteHostClosedError && !peerReset())
            return;
        fail(ClientError::NotStored);
        return;
    }
    // Whatever ends a connection that is up but not yet encrypted ends its handshake.
    ClientError error = clientErrorFor(socketError);
    if (tls.endsHandshake(phase == Phase::Connecting, error == ClientError::Timeout, socketError))
        error = ClientError::TlsHandshake;
    if (error == ClientError::TlsHandshake && tlsError.isEmpty())
        tlsError = errorString();
    fail(error);
}

void CFileClient::onDisconnected()
{
    if (phase == Phase::AwaitingClose) {
        // Ended without an error report: still the reset must not pass for success.
        if (peerReset()) {
            fail(ClientError::NotStored);
            return;
        }
        finish(true);
        return;
    }
    fail(ClientError::ConnectionClosed);
}

void CFileClient::onWorking(qint64 size, qint64 sent)
{
    Q_UNUSED(size);
    if (phase != Phase::Sending)
        return;
    done = sent;
    touch();
    emit progress(done, total);
}

void CFileClient::onSendFinished()
{
    if (phase != Phase::Sending)
        return;
    if (state() != QAbstractSocket::ConnectedState) {
        fail(ClientError::ConnectionClosed);
        return;
    }
    if (!device || !device->atEnd()) {
        // A read error: without the end-of-file packet the server discards what it got.
        fail(ClientError::LocalFile);
        abort();
        return;
    }
    phase = Phase::AwaitingClose;
    endWatch = ::fcntl(int(socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    touch();
}

} // namespace libsock
