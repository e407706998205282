#ifndef LIBSOCK_CABSTRACTFILECONN_H
#define LIBSOCK_CABSTRACTFILECONN_H

#include <QByteArray>
#include <QList>
#include <QPointer>

#include "cabstractconn.h"
#include "cfileframeheader.h"
#include "cprotopacket.h"

class QIODevice;

namespace libsock {

constexpr int SEND_BUF_SIZE = 51200;
// Bytes a transfer leaves queued in the socket before it waits for the peer.
constexpr int SEND_MAX_CACHE_SIZE = 1048576;
// The transfer's own chunk of whole frames, on top of the socket's queue.
constexpr int SEND_CHUNK_LIMIT = 256 * 1024;
constexpr quint8 FILE_CMD_END = 6;
// Frames handled in one pass before the rest waits for a queued call.
constexpr int FRAMES_PER_PASS = 32;
// The socket's own queue of received bytes on the file port: larger than the control port's
// for fewer turns of the event loop per megabyte, bounded all the same.
constexpr qint64 FILE_SOCKET_READ_LIMIT = 1048576;
// Chunks kept by fileBytesSent() that are reused once given back: some 10 MiB.
constexpr int LENT_CHUNKS = 40;

// Cuts the file-transfer port's stream into frames for processFrame() and streams files out
// as data frames. A transfer never blocks: frames are queued while the socket's write queue
// stays within maxCacheSize and the rest follows as the peer reads. A peer that takes nothing
// of the queued bytes for stallTimeout() is aborted.
class CAbstractFileConn : public CAbstractConn
{
    Q_OBJECT

public:
    explicit CAbstractFileConn(QObject *parent);
    ~CAbstractFileConn() override;

    bool isSending() const { return sendState != SendState::Idle; }

signals:
    void workBegin(qint64 total);
    void working(qint64 total, qint64 transfered);
    void workFinal();

protected slots:
    // Starts streaming io from its position to its end; returns at once. The device must
    // outlive the transfer or be handed to cancelSend() first. Ignored while one runs. A
    // sequential device (bytes still arriving from elsewhere) streams size() bytes in whole
    // frames as they become available (readyRead()), and has failed once a read fails or it
    // is closed.
    void sendFile(QIODevice &io, int bufSize, int maxCacheSize);
    void sendFile(QIODevice &io, int bufSize) { sendFile(io, bufSize, SEND_MAX_CACHE_SIZE); }
    void sendFile(QIODevice &io) { sendFile(io, SEND_BUF_SIZE, SEND_MAX_CACHE_SIZE); }

protected:
    virtual void processFrame() = 0;
    void sendPacket(const CProtoPacket &out);
    // Ends a running transfer without the end-of-file packet; whole frames already queued
    // still go out.
    void cancelSend();
    // Size of the chunk of frames read ahead; a client, unlike the server, may take more.
    void setSendChunkLimit(int bytes) { sendChunkLimit = qMax(bytes, 1); }
    // Frames wait in the socket (and the peer, by TCP, behind them) until released, while an
    // answer the connection needs is on its way from another thread.
    void holdFrames() { framesHeld = true; }
    void releaseFrames();
    bool holdingFrames() const { return framesHeld; }

    // Each data frame's payload as it goes out: length bytes at offset in chunk. Those bytes
    // are never written again (a chunk still shared is replaced), so chunk may be kept.
    virtual void fileBytesSent(const QByteArray &chunk, qsizetype offset, qsizetype length);
    // Asked before each batch of frames: true holds the transfer until resumeSend().
    virtual bool sendPaused();
    void resumeSend();
    // The file's last byte has gone out: true sends the end-of-file packet now; false holds
    // the transfer until endSend() says whether it goes out at all.
    virtual bool sendEndNow();
    // After sendEndNow() returned false: the end-of-file packet, or with intact false none
    // (the transfer ends and the caller ends the connection).
    void endSend(bool intact);
    // The device could not be read: the transfer has ended without its end-of-file packet.
    virtual void sendFailed();

    CFileFrameHeader header;
    CProtoPacket packet;

private slots:
    void processReadyRead() override;

private:
    enum class SendState { Idle, Streaming, Ending, Draining };

    bool frameFits() const;
    void pumpFile();
    // The next whole frame of a sequential device into into: its length, 0 while the device
    // has not all of it yet (or at the end), -1 when it failed.
    qint64 readSequential(char *into);
    // A chunk of sendChunk's size to fill next, sendChunk itself being kept elsewhere.
    QByteArray spareChunk();
    void finishSend();
    void writeEnd();
    void onBytesWritten();
    void onDisconnected();

    SendState sendState = SendState::Idle;
    QPointer<QIODevice> sendDevice;
    QMetaObject::Connection sendDeviceReady;
    // Bytes read from a sequential device so far, and those of them that wait for the rest
    // of their frame.
    qint64 sendRead = 0;
    QByteArray sendPending;
    QByteArray sendChunk;
    // Chunks handed out by fileBytesSent(), reused once nobody else holds them.
    QList<QByteArray> lentChunks;
    CFileFrameHeader sendHeader;
    qint64 sendTotal = 0;
    qint64 sendDone = 0;
    int sendBufSize = SEND_BUF_SIZE;
    qint64 sendMaxCache = SEND_MAX_CACHE_SIZE;
    int sendChunkLimit = SEND_CHUNK_LIMIT;
    // Set while pumpFile() runs, so that a bytesWritten() from inside it does not recurse.
    bool pumping = false;
    bool heldBack = false;
    bool framesHeld = false;
};

} // namespace libsock

#endif // LIBSOCK_CABSTRACTFILECONN_H
