#ifndef CHASHGATE_H
#define CHASHGATE_H

#include <deque>
#include <functional>
#include <limits>
#include <set>
#include <tuple>
#include <unordered_map>

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>

// Admits the control port's requests to the password hashes, each of which holds a core for
// milliseconds: a few per address and a few in all, so that the pool's queue stays short and
// one address cannot fill it. A request past a bound waits here, and its connection reads no
// more until it is let in (the peer is held back by TCP, never answered otherwise). Waiting
// addresses are let in by turns, ranked by the share of their recent hashes that were wasted
// (a wrong password, an unknown name or id, a name already taken): a guesser, whose hashes
// are all wasted, goes behind every address whose hashes mostly served, and takes turns with
// the other guessers; among those as good, an address whose hashes were of use (a player
// logging in) before one with none yet. One thread only (the connections').
class CHashGate
{
public:
    // Called once the request was let in; false when its waiter has gone, which gives the
    // place back at once.
    using Wake = std::function<bool()>;
    // Milliseconds since any fixed point, never going back.
    using Clock = std::function<qint64()>;

    // Hashes weigh less with time: half as much after this long.
    static constexpr double WASTE_HALF_LIFE_MS = 60000;

    // 0 switches a bound off.
    CHashGate(int perAddress, int total);

    void setClock(Clock clock);

    // True when peer may start a hash now, which then counts until done(); otherwise wake runs
    // once a place was given to the waiter (who then holds it).
    bool enter(const QHostAddress &peer, Wake wake);
    // A hash let in is over; wasted when it found a wrong password or a taken name.
    void done(const QHostAddress &peer, bool wasted);

    int inFlight() const { return total; }
    int inFlight(const QHostAddress &peer) const;
    int waiting() const { return waiters; }
    int perAddressLimit() const { return maxPerAddress; }
    int totalLimit() const { return maxTotal; }

private:
    struct Address;
    struct HashAddress
    {
        size_t operator()(const QHostAddress &peer) const { return qHash(peer); }
    };
    // The order of waiting addresses: the least share wasted, the most use (negated), the
    // longest waiting.
    using Rank = std::tuple<double, double, quint64, Address *>;
    struct Address
    {
        QHostAddress peer;
        int inFlight = 0;
        // The faded weights of the wasted hashes and of those of use, as base-2 logarithms
        // in half-lives since the clock's start: comparable between addresses whenever taken.
        double waste = -std::numeric_limits<double>::infinity();
        double use = -std::numeric_limits<double>::infinity();
        double wastedShare() const;
        std::deque<Wake> wakes;
        bool ranked = false;
        Rank rank;
    };

    qint64 now() const;
    Address &address(const QHostAddress &peer);
    // Ranks a with waiters and room of its own among those waiting for a place.
    void rank(Address &a);
    void unrank(Address &a);
    // Lets waiters in while there are places.
    void dispatch();
    void forgetIfIdle(Address &a);
    // Adds a weight of one now to a faded sum kept as a logarithm in half-lives.
    double addNow(double sum) const;
    // Drops idle addresses whose waste has faded, once a half-life at most.
    void prune();

    int maxPerAddress = 0;
    int maxTotal = 0;
    int total = 0;
    int waiters = 0;
    quint64 sequence = 0;
    bool dispatching = false;
    Clock clock;
    QElapsedTimer monotonic;
    qint64 lastPrune = 0;
    std::unordered_map<QHostAddress, Address, HashAddress> addresses;
    std::set<Rank> ranked;
};

#endif // CHASHGATE_H
