#ifndef CFUZZPEER_H
#define CFUZZPEER_H

#include <cstddef>
#include <cstdint>

class QAbstractSocket;

// The far end of a connection under test: one end of a socket pair is adopted by the
// connection, the other is written with the fuzzer's bytes and then closed, and the event
// loop runs until the connection has ended or stays quiet. What the connection sends back is
// read and dropped, so it is never held back by an unread queue.
class CFuzzPeer
{
public:
    explicit CFuzzPeer(QAbstractSocket &conn);
    ~CFuzzPeer();

    CFuzzPeer(const CFuzzPeer &) = delete;
    CFuzzPeer &operator=(const CFuzzPeer &) = delete;

    bool isValid() const { return peer >= 0; }
    // Sends every byte, then closes the peer's sending side and lets the connection finish.
    void feed(const uint8_t *data, size_t size);
    // Runs the event loop a few rounds, taking what the connection sent.
    void settle(int rounds = 4);

private:
    void drain();

    QAbstractSocket &socket;
    int peer = -1;
};

#endif // CFUZZPEER_H
