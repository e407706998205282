#ifndef CPLAINCOPY_H
#define CPLAINCOPY_H

#include <QString>

// The yardstick of the transfer figures: the same bytes from file to file over a plain
// loopback TCP connection, with blocking reads and writes and no framing. One end runs in a
// helper process (tolvern-bench --plain-send / --plain-receive), so both ends have a process
// of their own, as with the server and its client. The receiving end writes through a
// QSaveFile and commits it, as both the server and tolvern-client do.
class CPlainCopy
{
public:
    // Helper process: prints the listening port on stdout, serves one connection, returns the
    // exit code.
    static int serveSend(const QString &file);
    static int serveReceive(const QString &file);

    // Bench side, against a helper: fetch into file (committed), or send file and wait until
    // the receiver has committed and closed.
    static bool receiveFrom(quint16 port, const QString &file, qint64 &bytes);
    static bool sendTo(quint16 port, const QString &file, qint64 &bytes);

private:
    static int listenLoopback(quint16 &port);
    static int acceptOne(int listener);
    static int connectLoopback(quint16 port);
    static bool sendAll(int fd, const char *data, qint64 size);
    static bool sendFile(int fd, const QString &file, qint64 &bytes);
    static bool receiveFile(int fd, const QString &file, qint64 &bytes);
};

#endif // CPLAINCOPY_H
