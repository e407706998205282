#include "cabstractfileconn.h"

#include <cstring>

#include <QIODevice>
#include <QTimerEvent>

namespace libsock {

CAbstractFileConn::CAbstractFileConn(QObject *parent)
    : CAbstractConn(parent)
{
    packet.reset();
    connect(this, &QIODevice::readyRead, this, &CAbstractFileConn::processReadyRead);
    connect(this, &QIODevice::bytesWritten, this, &CAbstractFileConn::onBytesWritten);
    connect(this, &QAbstractSocket::disconnected, this, &CAbstractFileConn::onDisconnected);
}

CAbstractFileConn::~CAbstractFileConn() = default;

void CAbstractFileConn::setStallTimeout(int msec)
{
    stallTimeoutMs = msec > 0 ? msec : SEND_STALL_TIMEOUT_MS;
}

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
    for (;;) {
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
    emit workBegin(sendTotal);
    if (state() != QAbstractSocket::ConnectedState) {
        emit workFinal();
        return;
    }
    sendDevice = &io;
    // A data frame must fit the receiver's buffer whole, header included.
    sendBufSize = qBound(1, bufSize, int(FRAME_MAX_LENGTH) - FRAME_HEADER_SIZE);
    sendMaxCache = qMax(0, maxCacheSize);
    sendChunk.resize(sendMaxCache + FRAME_HEADER_SIZE + sendBufSize);
    sendState = SendState::Streaming;
    pumpFile();
}

void CAbstractFileConn::pumpFile()
{
    while (sendState == SendState::Streaming) {
        if (state() != QAbstractSocket::ConnectedState || !sendDevice) {
            finishSend();
            return;
        }
        if (bytesToWrite() > sendMaxCache) {
            armStallTimer();
            return; // resumed by bytesWritten()
        }
        // The frames that fit under the bound go out in one write: one block for the
        // socket to pass on, one system call instead of two per frame.
        qint64 batch = 0;
        int frames = 0;
        qint64 lastFrame = 0;
        bool ended = false;
        bool readFailed = false;
        do {
            char *frame = sendChunk.data() + batch;
            const qint64 n = sendDevice->read(frame + FRAME_HEADER_SIZE, sendBufSize);
            if (n < 0) {
                readFailed = true;
                break;
            }
            if (n > 0) {
                sendHeader.setType(FRAME_DATA);
                sendHeader.setLength(quint32(n));
                std::memcpy(frame, sendHeader.bytes.constData(), FRAME_HEADER_SIZE);
                batch += FRAME_HEADER_SIZE + n;
                ++frames;
                lastFrame = n;
            }
            ended = n < sendBufSize;
        } while (!ended && bytesToWrite() + batch <= sendMaxCache
            && batch + FRAME_HEADER_SIZE + sendBufSize <= sendChunk.size());
        if (batch > 0)
            write(sendChunk.constData(), batch);
        // One progress report per frame, as if each had gone out on its own.
        for (int i = 0; i < frames; ++i) {
            sendDone += i + 1 < frames ? sendBufSize : lastFrame;
            emit working(sendTotal, sendDone);
        }
        if (readFailed) {
            // The missing end-of-file packet tells the peer.
            finishSend();
            return;
        }
        if (ended) {
            if (state() != QAbstractSocket::ConnectedState) {
                finishSend();
                return;
            }
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
            return;
        }
    }
}

void CAbstractFileConn::finishSend()
{
    if (sendState == SendState::Idle)
        return;
    sendState = SendState::Idle;
    sendDevice = nullptr;
    sendChunk.clear();
    emit workFinal();
}

void CAbstractFileConn::cancelSend()
{
    finishSend();
}

void CAbstractFileConn::onBytesWritten()
{
    // Progress: the stall clock starts over while bytes still wait.
    stopStallTimer();
    armStallTimer();
    if (sendState == SendState::Streaming)
        pumpFile();
    else if (sendState == SendState::Draining && bytesToWrite() == 0)
        finishSend();
}

void CAbstractFileConn::onDisconnected()
{
    stopStallTimer();
    finishSend();
}

void CAbstractFileConn::armStallTimer()
{
    if (stallTimerId == 0 && bytesToWrite() > 0 && state() != QAbstractSocket::UnconnectedState)
        stallTimerId = startTimer(stallTimeoutMs);
}

void CAbstractFileConn::stopStallTimer()
{
    if (stallTimerId != 0) {
        killTimer(stallTimerId);
        stallTimerId = 0;
    }
}

void CAbstractFileConn::timerEvent(QTimerEvent *event)
{
    if (stallTimerId != 0 && event->timerId() == stallTimerId) {
        stopStallTimer();
        abort();
        return;
    }
    CAbstractConn::timerEvent(event);
}

} // namespace libsock
