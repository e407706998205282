#include "cabstractfileconn.h"

#include <cstring>

#include <QIODevice>
#include <QMetaObject>

namespace libsock {

CAbstractFileConn::CAbstractFileConn(QObject *parent)
    : CAbstractConn(parent)
{
    setReadBufferSize(FILE_SOCKET_READ_LIMIT);
    packet.reset();
    connect(this, &QIODevice::readyRead, this, &CAbstractFileConn::processReadyRead);
    connect(this, &QIODevice::bytesWritten, this, &CAbstractFileConn::onBytesWritten);
    connect(this, &QAbstractSocket::disconnected, this, &CAbstractFileConn::onDisconnected);
}

CAbstractFileConn::~CAbstractFileConn() = default;

bool CAbstractFileConn::frameFits() const
{
    // Prevent DoS: refuse at once what could never be assembled, instead of letting the
    // rest pile up in the socket until the receive timer fires.
    if (FRAME_HEADER_SIZE + qint64(header.length) > maxBufferSize)
        return false;
    if (header.type() == FRAME_CONTROL)
        return header.length >= quint32(PACKET_HEADER_SIZE)
            && header.length <= quint32(PACKET_MAX_SIZE);
    return true;
}

void CAbstractFileConn::processReadyRead()
{
    stopRecvTimer();
    heldBack = false;
    for (int handled = 0;; ++handled) {
        if (state() != QAbstractSocket::ConnectedState || framesHeld)
            return;
        // Replies the peer does not read hold back its requests; a running transfer keeps
        // its own bound.
        if (sendState == SendState::Idle && bytesToWrite() > REPLY_QUEUE_LIMIT) {
            heldBack = true;
            armStallTimer();
            return;
        }
        if (handled == FRAMES_PER_PASS) {
            continueLater();
            return;
        }
        if (recvBuffer.size() < FRAME_HEADER_SIZE) {
            if (readUpTo(FRAME_HEADER_SIZE) < FRAME_HEADER_SIZE)
                break;
            header.parse(recvBuffer.constData(), FRAME_HEADER_SIZE);
            if (!header.isValid() || !frameFits()) {
                abort();
                return;
            }
        }
        const int total = FRAME_HEADER_SIZE + int(header.length);
        if (readUpTo(total) < total)
            break;
        if (header.type() == FRAME_CONTROL) {
            packet.loadFrom(recvBuffer.constData() + FRAME_HEADER_SIZE, int(header.length));
            // The packet must start with its marker and fit in its frame; otherwise its
            // body would be read from an earlier packet's bytes.
            if (!packet.isValid()
                || PACKET_HEADER_SIZE + int(packet.bodyLength()) > int(header.length)) {
                abort();
                return;
            }
        }
        processFrame();
        recvBuffer.resize(0);
        if (state() != QAbstractSocket::ConnectedState || bytesAvailable() <= 0)
            return;
    }
    // Frame incomplete: wait for the rest, but not forever.
    if (isOpen())
        startRecvTimer();
}

void CAbstractFileConn::releaseFrames()
{
    if (!framesHeld)
        return;
    framesHeld = false;
    continueLater();
}

void CAbstractFileConn::sendPacket(const CProtoPacket &out)
{
    header.setType(FRAME_CONTROL);
    header.setLength(out.totalLength());
    write(header.bytes);
    write(out.data(), out.totalLength());
    armStallTimer();
}

void CAbstractFileConn::sendFile(QIODevice &io, int bufSize, int maxCacheSize)
{
    if (sendState != SendState::Idle)
        return;
    sendTotal = io.size();
    sendDone = 0;
    sendRead = 0;
    sendPending.resize(0);
    emit workBegin(sendTotal);
    if (state() != QAbstractSocket::ConnectedState) {
        emit workFinal();
        return;
    }
    sendDevice = &io;
    // A data frame must fit the receiver's buffer whole, header included.
    sendBufSize = qBound(1, bufSize, int(FRAME_MAX_LENGTH) - FRAME_HEADER_SIZE);
    sendMaxCache = qMax(0, maxCacheSize);
    const int frame = FRAME_HEADER_SIZE + sendBufSize;
    sendChunk.resize(qMax(1, sendChunkLimit / frame) * frame);
    sendState = SendState::Streaming;
    // Bytes still on their way: the transfer goes on as they come.
    if (io.isSequential())
        sendDeviceReady = connect(&io, &QIODevice::readyRead, this, &CAbstractFileConn::resumeSend);
    pumpFile();
}

void CAbstractFileConn::pumpFile()
{
    if (pumping)
        return;
    pumping = true;
    while (sendState == SendState::Streaming) {
        if (state() != QAbstractSocket::ConnectedState || !sendDevice) {
            finishSend();
            break;
        }
        if (bytesToWrite() > sendMaxCache) {
            armStallTimer();
            break; // resumed by bytesWritten()
        }
        if (sendPaused())
            break; // resumed by resumeSend()
        // A chunk kept by fileBytesSent() stays as it is; one it has given back is reused.
        if (!sendChunk.isDetached())
            sendChunk = spareChunk();
        // The frames that fit the chunk and the bound go out in one write: few system calls
        // and wake-ups per megabyte, and no more than one chunk of our own.
        qint64 batch = 0;
        int frames = 0;
        qint64 lastFrame = 0;
        qint64 n = 0;
        bool starved = false;
        // Taken once: data() on a chunk shared since would copy it.
        char *const base = sendChunk.data();
        do {
            char *frame = base + batch;
            if (sendDevice->isSequential()) {
                // Whole frames only, the last one excepted, as from a file: a frame's bytes
                // wait in sendPending until the device has them all.
                n = readSequential(frame + FRAME_HEADER_SIZE);
                starved = n == 0 && sendRead < sendTotal;
            } else {
                n = sendDevice->read(frame + FRAME_HEADER_SIZE, sendBufSize);
            }
            if (n <= 0)
                break;
            sendHeader.setType(FRAME_DATA);
            sendHeader.setLength(quint32(n));
            std::memcpy(frame, sendHeader.bytes.constData(), FRAME_HEADER_SIZE);
            fileBytesSent(sendChunk, batch + FRAME_HEADER_SIZE, n);
            batch += FRAME_HEADER_SIZE + n;
            ++frames;
            lastFrame = n;
        } while (n == sendBufSize && bytesToWrite() + batch <= sendMaxCache
            && batch + FRAME_HEADER_SIZE + sendBufSize <= sendChunk.size());
        if (batch > 0) {
            write(sendChunk.constData(), batch);
        }
        // One progress report per frame, as if each had gone out on its own.
        for (int i = 0; i < frames; ++i) {
            sendDone += i + 1 < frames ? sendBufSize : lastFrame;
            emit working(sendTotal, sendDone);
        }
        if (n < 0) {
            // The missing end-of-file packet tells the peer.
            finishSend();
            sendFailed();
            break;
        }
        if (starved)
            break; // resumed by the device's readyRead()
        if (n == sendBufSize)
            continue;
        if (state() != QAbstractSocket::ConnectedState) {
            finishSend();
            break;
        }
        sendState = SendState::Ending;
        if (sendEndNow())
            writeEnd();
    }
    pumping = false;
}

qint64 CAbstractFileConn::readSequential(char *into)
{
    if (!sendDevice->isOpen())
        return -1;
    const qint64 frameBytes = qMin<qint64>(sendBufSize, sendTotal - sendRead + sendPending.size());
    if (frameBytes <= 0)
        return 0;
    const qsizetype had = sendPending.size();
    sendPending.resize(frameBytes);
    const qint64 got = sendDevice->read(sendPending.data() + had, frameBytes - had);
    if (got < 0)
        return -1;
    sendPending.resize(had + got);
    sendRead += got;
    if (sendPending.size() < frameBytes)
        return 0;
    std::memcpy(into, sendPending.constData(), size_t(frameBytes));
    sendPending.resize(0);
    return frameBytes;
}

QByteArray CAbstractFileConn::spareChunk()
{
    for (qsizetype i = 0; i < lentChunks.size(); ++i) {
        if (lentChunks.at(i).isDetached()) {
            QByteArray chunk = lentChunks.takeAt(i);
            lentChunks.append(sendChunk);
            return chunk;
        }
    }
    if (lentChunks.size() < LENT_CHUNKS)
        lentChunks.append(sendChunk);
    return QByteArray(sendChunk.size(), Qt::Uninitialized);
}

void CAbstractFileConn::writeEnd()
{
    CProtoPacket eof;
    eof.reset();
    eof.setCommand(FILE_CMD_END);
    sendHeader.setType(FRAME_CONTROL);
    sendHeader.setLength(eof.totalLength());
    write(sendHeader.bytes);
    write(eof.data(), eof.totalLength());
    sendState = SendState::Draining;
    armStallTimer();
    if (bytesToWrite() == 0)
        finishSend();
}

void CAbstractFileConn::endSend(bool intact)
{
    if (sendState != SendState::Ending)
        return;
    if (intact && state() == QAbstractSocket::ConnectedState)
        writeEnd();
    else
        finishSend();
}

void CAbstractFileConn::resumeSend()
{
    if (sendState == SendState::Streaming)
        pumpFile();
}

void CAbstractFileConn::fileBytesSent(const QByteArray &chunk, qsizetype offset, qsizetype length)
{
    Q_UNUSED(chunk);
    Q_UNUSED(offset);
    Q_UNUSED(length);
}

void CAbstractFileConn::sendFailed() { }

bool CAbstractFileConn::sendPaused()
{
    return false;
}

bool CAbstractFileConn::sendEndNow()
{
    return true;
}

void CAbstractFileConn::finishSend()
{
    if (sendState == SendState::Idle)
        return;
    sendState = SendState::Idle;
    disconnect(sendDeviceReady);
    sendDevice = nullptr;
    sendChunk.clear();
    sendChunk.squeeze();
    lentChunks.clear();
    emit workFinal();
}

void CAbstractFileConn::cancelSend()
{
    finishSend();
}

void CAbstractFileConn::onBytesWritten()
{
    if (heldBack && bytesToWrite() <= REPLY_QUEUE_LIMIT) {
        heldBack = false;
        continueLater();
    }
    if (sendState == SendState::Streaming)
        pumpFile();
    else if (sendState == SendState::Draining && bytesToWrite() == 0)
        finishSend();
}

void CAbstractFileConn::onDisconnected()
{
    finishSend();
}

} // namespace libsock
