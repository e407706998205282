#ifndef LIBSOCK_CABSTRACTFILECONN_H
#define LIBSOCK_CABSTRACTFILECONN_H

#include <QByteArray>
#include <QPointer>

#include "cabstractconn.h"
#include "cfileframeheader.h"
#include "cprotopacket.h"

class QIODevice;
class QTimerEvent;

namespace libsock {

constexpr int SEND_BUF_SIZE = 51200;
constexpr int SEND_MAX_CACHE_SIZE = 1048576;
constexpr int SEND_STALL_TIMEOUT_MS = 30000;
constexpr quint8 FILE_CMD_END = 6;

// Cuts the file-transfer port's stream into frames for processFrame() and streams files out
// as data frames. A transfer never blocks: frames are queued while the socket's write queue
// stays within maxCacheSize and the rest follows as the peer reads.
class CAbstractFileConn : public CAbstractConn
{
    Q_OBJECT

public:
    explicit CAbstractFileConn(QObject *parent);
    ~CAbstractFileConn() override;

    // A peer that takes nothing of the queued bytes for this long is aborted; tests shorten it.
    void setStallTimeout(int msec);
    int stallTimeout() const { return stallTimeoutMs; }
    bool isSending() const { return sendState != SendState::Idle; }

signals:
    void workBegin(qint64 total);
    void working(qint64 total, qint64 transfered);
    void workFinal();

protected slots:
    // Starts streaming io from its position to its end; returns at once. The device must
    // outlive the transfer or be handed to cancelSend() first. Ignored while one runs.
    void sendFile(QIODevice &io, int bufSize, int maxCacheSize);
    void sendFile(QIODevice &io, int bufSize) { sendFile(io, bufSize, SEND_MAX_CACHE_SIZE); }
    void sendFile(QIODevice &io) { sendFile(io, SEND_BUF_SIZE, SEND_MAX_CACHE_SIZE); }

protected:
    virtual void processFrame() = 0;
    void sendPacket(const CProtoPacket &out);
    // Ends a running transfer without the end-of-file packet; whole frames already queued
    // still go out.
    void cancelSend();
    void timerEvent(QTimerEvent *event) override;

    CFileFrameHeader header;
    CProtoPacket packet;

private slots:
    void processReadyRead();

private:
    enum class SendState { Idle, Streaming, Draining };

    bool frameFits() const;
    void pumpFile();
    void finishSend();
    void onBytesWritten();
    void onDisconnected();
    void armStallTimer();
    void stopStallTimer();

    SendState sendState = SendState::Idle;
    QPointer<QIODevice> sendDevice;
    QByteArray sendChunk;
    CFileFrameHeader sendHeader;
    qint64 sendTotal = 0;
    qint64 sendDone = 0;
    int sendBufSize = SEND_BUF_SIZE;
    qint64 sendMaxCache = SEND_MAX_CACHE_SIZE;
    int stallTimerId = 0;
    int stallTimeoutMs = SEND_STALL_TIMEOUT_MS;
};

} // namespace libsock

#endif // LIBSOCK_CABSTRACTFILECONN_H
