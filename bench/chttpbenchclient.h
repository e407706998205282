#ifndef CHTTPBENCHCLIENT_H
#define CHTTPBENCHCLIENT_H

#include <QByteArray>
#include <QString>

// A small HTTP/1.1 client on one blocking loopback socket, kept alive between requests: what
// the bench needs of the operators' HTTP port and no more. Answers with Content-Length or
// chunked bodies; a live log stream is opened with openStream() and then drained by the
// caller from fd().
class CHttpBenchClient
{
public:
    CHttpBenchClient() = default;
    ~CHttpBenchClient();
    CHttpBenchClient(const CHttpBenchClient &) = delete;
    CHttpBenchClient &operator=(const CHttpBenchClient &) = delete;

    bool connectTo(quint16 port);
    void close();
    int fd() const { return socketFd; }

    // One request and its whole answer. False when the connection failed.
    bool get(const QByteArray &path, const QByteArray &token, int *status, QByteArray *body);
    // Sends the request and reads the answer's head; the events follow on fd().
    bool openStream(const QByteArray &path, const QByteArray &token);
    // Reads what the socket holds without waiting; returns the bytes read, -1 when closed.
    qint64 drain();

    QString errorText() const { return error; }

private:
    bool send(const QByteArray &request);
    // Reads until the buffer holds at least size bytes.
    bool fill(qsizetype size);
    bool readLine(QByteArray *line);
    bool readHead(int *status, qint64 *length, bool *chunked);
    bool fail(const QString &why);

    int socketFd = -1;
    QByteArray in;
    QString error;
};

#endif // CHTTPBENCHCLIENT_H
