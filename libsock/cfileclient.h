#ifndef LIBSOCK_CFILECLIENT_H
#define LIBSOCK_CFILECLIENT_H

#include <QByteArray>
#include <QPointer>
#include <QString>

#include "cabstractfileconn.h"
#include "cprotoclient.h"

class QEventLoop;
class QIODevice;
class QTimer;

namespace libsock {

// Client of the file-transfer port: downloads or uploads one whole file per request, in the
// frames the server uses. Every wait gives up after timeout() milliseconds without progress.
// The blocking calls run a local event loop; the start*() calls return at once and report
// through progress() and finished().
class CFileClient : public CAbstractFileConn
{
    Q_OBJECT

public:
    static constexpr int DEFAULT_TIMEOUT_MS = 30000;

    explicit CFileClient(QObject *parent = nullptr);
    ~CFileClient() override;

    void setTimeout(int msec);
    int timeout() const { return timeoutMs; }
    // For the next connectToServer(); the connection counts as made once TLS is up.
    void setTls(const CClientTls &options) { tls = options; }
    QString tlsErrorText() const { return tlsError; }

    // Blocking forms. True only when the whole file went across with result FILE_OK.
    bool connectToServer(const QString &host, quint16 port);
    // Writes the save's bytes to sink as they arrive; the caller keeps or discards them.
    bool download(
        const QString &user, const QString &detail, const QString &saveName, QIODevice &sink);
    // Sends source from its position to its end; a short read counts as its end, so the
    // source must be a file or buffer, not a pipe. The server answers the end of an upload
    // only by ending the connection: an orderly close means the file is stored, a reset
    // (ClientError::NotStored) that it is not.
    bool upload(
        const QString &user, const QString &detail, const QString &saveName, QIODevice &source);

    // Non-blocking forms; false when not connected or a transfer is still open. The device
    // must outlive the transfer.
    bool startDownload(
        const QString &user, const QString &detail, const QString &saveName, QIODevice *sink);
    bool startUpload(
        const QString &user, const QString &detail, const QString &saveName, QIODevice *source);
    bool waitForFinished();
    bool isBusy() const { return phase != Phase::Idle; }

    // The server's result code of the last request (FILE_OK when it never answered).
    quint8 result() const { return lastResult; }
    ClientError clientError() const { return lastError; }
    // Size of the file: as announced by the server, or of the source at the start.
    qint64 fileSize() const { return total; }
    qint64 transferred() const { return done; }

signals:
    void progress(qint64 transferred, qint64 total);
    void finished(bool ok);

protected:
    void processFrame() override;

private:
    enum class Phase {
        Idle,
        Connecting,
        AwaitingDownloadReply,
        Receiving,
        AwaitingUploadReply,
        Sending,
        AwaitingClose
    };

    bool begin(Phase next);
    void sendRequest(
        quint8 command, const QString &user, const QString &detail, const QString &saveName);
    void handleDownloadReply();
    void handleUploadReply();
    void receiveData();
    bool writePending();
    void handleEnd();
    void finish(bool ok);
    void fail(ClientError error);
    void refused(quint8 resultCode);
    void touch();
    void onConnected();
    void onEncrypted();
    void onSslErrors(const QList<QSslError> &errors);
    bool peerReset() const;
    void releaseEndWatch();
    void onSocketError(QAbstractSocket::SocketError socketError);
    void onDisconnected();
    void onWorking(qint64 size, qint64 sent);
    void onSendFinished();

    QTimer *timer = nullptr;
    QEventLoop *waitLoop = nullptr;
    QPointer<QIODevice> device;
    // Received bytes on their way to the sink, written a megabyte at a time.
    QByteArray pending;
    Phase phase = Phase::Idle;
    int timeoutMs = DEFAULT_TIMEOUT_MS;
    quint8 lastResult = 0;
    ClientError lastError = ClientError::None;
    bool lastOk = false;
    qint64 total = 0;
    qint64 done = 0;
    // A second descriptor of the socket while the server's answer to an upload is awaited.
    int endWatch = -1;
    CClientTls tls;
    QString tlsError;
};

} // namespace libsock

#endif // LIBSOCK_CFILECLIENT_H
