#ifndef CHTTPSGATE_H
#define CHTTPSGATE_H

#include <functional>
#include <map>

#include <sys/socket.h>

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

class QSocketNotifier;
class QTimer;

// The HTTPS port's listening socket. Each connection is held, unread, until its first byte
// shows a TLS handshake, and only then handed over (to libmicrohttpd), so the byte is still
// there for the handshake. A browser or curl speaking plain HTTP to the port gets a plain
// 400 that says so, rather than a connection closed without a word. Runs on the thread that
// creates it; accepting and peeking one byte never wait.
class CHttpsGate : public QObject
{
    Q_OBJECT

public:
    // Takes socketfd (non-blocking) and its peer's address, and owns it from then on.
    using Hand = std::function<void(int socketfd, const sockaddr *address, socklen_t length)>;

    static constexpr int HOLD_LIMIT = 256; // connections waiting for a first byte
    static constexpr int HOLD_MS = 30000;
    static constexpr int LINGER_MS = 2000; // to read a plain request's rest after the answer
    static const QByteArray PLAIN_HTTP_ANSWER;

    explicit CHttpsGate(Hand hand, QObject *parent = nullptr);
    ~CHttpsGate() override;

    bool listen(const sockaddr *address, socklen_t length, QString *errorText);
    quint16 port() const { return boundPort; }
    // Stops accepting and closes every connection still held.
    void close();
    int heldCount() const { return int(held.size()); }

private:
    struct Held
    {
        QSocketNotifier *notifier = nullptr;
        QTimer *timer = nullptr;
        sockaddr_storage address {};
        socklen_t length = 0;
        bool answered = false; // the plain answer sent: only its rest is read, then closed
        quint64 order = 0; // its place in order
    };

    void acceptAll();
    void examine(int socketfd);
    void answerPlain(int socketfd, Held &entry);
    void drop(int socketfd);
    static void release(const Held &entry);

    Hand hand;
    int listener = -1;
    quint16 boundPort = 0;
    QSocketNotifier *acceptNotifier = nullptr;
    QHash<int, Held> held;
    // Held descriptors by when they came, the longest held first.
    std::map<quint64, int> order;
    quint64 accepted = 0;
};

#endif // CHTTPSGATE_H
