#ifndef TESTFRAMECLIENT_H
#define TESTFRAMECLIENT_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QTcpSocket>
#include <QtEndian>

#include "testwire.h"

// Client end of the file-transfer port for tests: collects the frames it receives and
// builds the raw bytes of packets and frames it sends.
class TestFrameClient : public QTcpSocket
{
    Q_OBJECT

public:
    struct Frame
    {
        quint8 type = 0;
        QByteArray payload;
        quint8 command() const { return payload.size() > 19 ? quint8(payload.at(19)) : 0; }
        QByteArray body() const { return payload.mid(22); }
    };

    explicit TestFrameClient(QObject *parent = nullptr)
        : QTcpSocket(parent)
    {
        connect(this, &QIODevice::readyRead, this, &TestFrameClient::takeBytes);
    }

    bool connectTo(quint16 port)
    {
        connectToHost(QHostAddress::LocalHost, port);
        return waitForConnected(5000);
    }

    // While paused the client reads nothing, so the server's bytes queue up.
    void setPaused(bool on)
    {
        paused = on;
        if (!paused)
            takeBytes();
    }

    static QByteArray string(const QByteArray &text) { return testwire::str(text); }
    static QByteArray int64(qint64 value) { return testwire::int64(value); }
    static QByteArray packet(quint8 command, const QByteArray &body = QByteArray())
    {
        return testwire::packet(command, body);
    }
    static QByteArray frame(quint8 type, const QByteArray &payload)
    {
        return testwire::frame(type, payload);
    }

    static QByteArray control(quint8 command, const QByteArray &body = QByteArray())
    {
        return frame(0, packet(command, body));
    }

    static QByteArray downloadRequest(
        const QByteArray &name, const QByteArray &user = "u", const QByteArray &detail = "d")
    {
        return control(1, string(user) + string(detail) + string(name) + int64(0));
    }

    static QByteArray uploadRequest(
        const QByteArray &name, const QByteArray &user = "u", const QByteArray &detail = "d")
    {
        return control(3, string(user) + string(detail) + string(name));
    }

    // How many payload bytes the data frames received so far hold: cheap enough to ask
    // again and again while waiting, where dataBytes() copies them all each time.
    qsizetype dataSize() const
    {
        qsizetype size = 0;
        for (const Frame &f : frames) {
            if (f.type != 0)
                size += f.payload.size();
        }
        return size;
    }

    // Payload bytes of all data frames received so far.
    QByteArray dataBytes() const
    {
        QByteArray out;
        for (const Frame &f : frames) {
            if (f.type != 0)
                out += f.payload;
        }
        return out;
    }

    // The newest frame; with none received yet, a frame of type 0xff that no comparison
    // accepts, so a missing reply fails the test instead of crashing it.
    const Frame &lastFrame() const
    {
        static const Frame none { 0xff, QByteArray() };
        return frames.isEmpty() ? none : frames.last();
    }
    const Frame &frameAt(int index) const
    {
        static const Frame none { 0xff, QByteArray() };
        return index >= 0 && index < frames.size() ? frames.at(index) : none;
    }

    QList<Frame> frames;
    QByteArray raw; // every byte received, in order

private:
    void takeBytes()
    {
        if (paused)
            return;
        const QByteArray got = readAll();
        raw += got;
        pending += got;
        // The frames taken off the front once: removing each from a read of megabytes
        // would move the rest every time.
        qsizetype at = 0;
        while (pending.size() - at >= 6) {
            const quint32 len = qFromBigEndian<quint32>(pending.constData() + at + 2);
            if (pending.size() - at < qsizetype(6 + len))
                break;
            frames.append(Frame { quint8(pending.at(at + 1)), pending.mid(at + 6, len) });
            at += 6 + len;
        }
        pending.remove(0, at);
    }

    QByteArray pending;
    bool paused = false;
};

#endif // TESTFRAMECLIENT_H
