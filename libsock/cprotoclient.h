#ifndef LIBSOCK_CPROTOCLIENT_H
#define LIBSOCK_CPROTOCLIENT_H

#include <QString>

#include "cabstractprotoconn.h"
#include "cclienttls.h"
#include "controlcodes.h"

class QEventLoop;
class QTimer;

namespace libsock {

// Why a client's exchange ended before the server's answer; the server's own result codes
// are reported apart from these. Shared by both clients.
enum class ClientError {
    None,
    ConnectionRefused,
    HostNotFound,
    Timeout,
    // The server closed the connection before the exchange was over.
    ConnectionClosed,
    // A reply or frame that does not fit the request.
    Protocol,
    Network,
    // Reading or writing the local file failed (file client only).
    LocalFile,
    // The server reset the connection after the whole upload: the file was not stored.
    NotStored,
    // The TLS handshake failed: the server's certificate was not trusted, its name did not
    // match, or the server does not speak TLS. tlsErrorText() says more.
    TlsHandshake,
};

QString clientErrorText(ClientError error);
// How a socket error that ends an exchange is reported.
ClientError clientErrorFor(QAbstractSocket::SocketError socketError);

// Client of the main control port: one command at a time, each answered by one reply.
// The blocking calls run a local event loop and give up after timeout() milliseconds; the
// send*() calls return at once and report through replyReceived() or failed().
class CProtoClient : public CAbstractProtoConn
{
    Q_OBJECT

public:
    static constexpr int DEFAULT_TIMEOUT_MS = 30000;

    explicit CProtoClient(QObject *parent = nullptr);
    ~CProtoClient() override;

    // Bound of every wait: connecting, and each request until its reply.
    void setTimeout(int msec);
    int timeout() const { return timeoutMs; }
    // For the next connectToServer(); the connection counts as made once TLS is up.
    void setTls(const CClientTls &options) { tls = options; }
    QString tlsErrorText() const { return tlsError; }

    // Blocking forms. True when the exchange completed, whatever result() the server gave.
    bool connectToServer(const QString &host, quint16 port);
    bool addUser(const QString &name, const QString &password);
    bool login(const QString &name, const QString &password);
    bool changePassword(qint32 objectId, const QString &oldPassword, const QString &newPassword);

    // Non-blocking forms; false when not connected or a request is still open.
    bool sendAddUser(const QString &name, const QString &password);
    bool sendLogin(const QString &name, const QString &password);
    bool sendChangePassword(
        qint32 objectId, const QString &oldPassword, const QString &newPassword);
    bool isBusy() const { return phase != Phase::Idle; }

    // The request packets, for callers that send them on sockets of their own.
    static CProtoPacket &addUserRequest(
        CProtoPacket &packet, const QString &name, const QString &password);
    static CProtoPacket &loginRequest(
        CProtoPacket &packet, const QString &name, const QString &password);

    // The last reply: its result code, and the object id carried by add-user and login replies.
    quint8 result() const { return lastResult; }
    qint32 objectId() const { return lastObjectId; }
    ClientError clientError() const { return lastError; }

signals:
    void replyReceived(quint8 result, qint32 objectId);
    void failed(libsock::ClientError error);

protected:
    bool processPacket() override;

private:
    enum class Phase { Idle, Connecting, AwaitingReply };

    bool sendRequest(const CProtoPacket &request, quint8 replyCommand);
    bool waitForIdle();
    void finish();
    void fail(ClientError error);
    void onConnected();
    void onEncrypted();
    void onSslErrors(const QList<QSslError> &errors);
    void onSocketError(QAbstractSocket::SocketError socketError);
    void onDisconnected();

    QTimer *timer = nullptr;
    QEventLoop *waitLoop = nullptr;
    Phase phase = Phase::Idle;
    int timeoutMs = DEFAULT_TIMEOUT_MS;
    quint8 expectedReply = 0;
    quint8 lastResult = 0;
    qint32 lastObjectId = 0;
    ClientError lastError = ClientError::None;
    CClientTls tls;
    QString tlsError;
};

} // namespace libsock

#endif // LIBSOCK_CPROTOCLIENT_H
