#include "chashgate.h"

#include <cmath>

namespace {
// Addresses kept before idle ones are looked for; and the weight below which waste is gone.
constexpr size_t PRUNE_ABOVE = 1024;
constexpr double FADED_HALF_LIVES = 4;
} // namespace

CHashGate::CHashGate(int perAddress, int totalLimit)
    : maxPerAddress(qMax(0, perAddress))
    , maxTotal(qMax(0, totalLimit))
{
    monotonic.start();
}

void CHashGate::setClock(Clock replacement)
{
    clock = std::move(replacement);
}

qint64 CHashGate::now() const
{
    return clock ? clock() : monotonic.elapsed();
}

int CHashGate::inFlight(const QHostAddress &peer) const
{
    const auto found = addresses.find(peer);
    return found == addresses.end() ? 0 : found->second.inFlight;
}

CHashGate::Address &CHashGate::address(const QHostAddress &peer)
{
    Address &a = addresses[peer];
    a.peer = peer;
    return a;
}

bool CHashGate::enter(const QHostAddress &peer, Wake wake)
{
    Address &a = address(peer);
    // First come while nobody waits; otherwise in turn, so that a newcomer cannot pass those
    // already waiting.
    const bool roomOwn = maxPerAddress == 0 || a.inFlight < maxPerAddress;
    if (roomOwn && a.wakes.empty() && ranked.empty() && (maxTotal == 0 || total < maxTotal)) {
        ++a.inFlight;
        ++total;
        return true;
    }
    // Nothing to let in now: with others waiting, every place is taken.
    a.wakes.push_back(std::move(wake));
    ++waiters;
    rank(a);
    return false;
}

void CHashGate::done(const QHostAddress &peer, bool wasted)
{
    const auto found = addresses.find(peer);
    if (found == addresses.end())
        return;
    Address &a = found->second;
    a.inFlight = qMax(0, a.inFlight - 1);
    total = qMax(0, total - 1);
    const bool ranks = a.ranked;
    unrank(a);
    if (wasted)
        a.waste = addNow(a.waste);
    else
        a.use = addNow(a.use);
    if (ranks || !a.wakes.empty())
        rank(a);
    dispatch();
    // Those let in may have come back here meanwhile, and let a go: looked up again.
    const auto again = addresses.find(peer);
    if (again != addresses.end())
        forgetIfIdle(again->second);
    prune();
}

double CHashGate::Address::wastedShare() const
{
    if (std::isinf(waste))
        return 0;
    if (std::isinf(use))
        return 1;
    // waste / (waste + use), from their logarithms; the same at any time, as both fade alike.
    return 1 / (1 + std::exp2(use - waste));
}

double CHashGate::addNow(double sum) const
{
    const double at = double(now()) / WASTE_HALF_LIFE_MS;
    const double high = std::max(sum, at);
    const double low = std::min(sum, at);
    return high + std::log2(1 + std::exp2(low - high));
}

void CHashGate::rank(Address &a)
{
    if (a.ranked || a.wakes.empty() || (maxPerAddress > 0 && a.inFlight >= maxPerAddress))
        return;
    a.rank = Rank(a.wastedShare(), -a.use, ++sequence, &a);
    ranked.insert(a.rank);
    a.ranked = true;
}

void CHashGate::unrank(Address &a)
{
    if (!a.ranked)
        return;
    ranked.erase(a.rank);
    a.ranked = false;
}

void CHashGate::dispatch()
{
    // A waiter let in may ask for another place at once: that call only queues it.
    if (dispatching)
        return;
    dispatching = true;
    while (!ranked.empty() && (maxTotal == 0 || total < maxTotal)) {
        Address &a = *std::get<3>(*ranked.begin());
        unrank(a);
        Wake wake = std::move(a.wakes.front());
        a.wakes.pop_front();
        --waiters;
        ++a.inFlight;
        ++total;
        // Behind the others of its standing: addresses take turns.
        rank(a);
        if (!wake()) {
            a.inFlight = qMax(0, a.inFlight - 1);
            total = qMax(0, total - 1);
            rank(a);
        }
    }
    dispatching = false;
}

void CHashGate::forgetIfIdle(Address &a)
{
    const double faded = double(now()) / WASTE_HALF_LIFE_MS - FADED_HALF_LIVES;
    if (a.inFlight == 0 && a.wakes.empty() && a.waste < faded && a.use < faded)
        addresses.erase(a.peer);
}

void CHashGate::prune()
{
    const qint64 at = now();
    if (addresses.size() < PRUNE_ABOVE || at - lastPrune < qint64(WASTE_HALF_LIFE_MS))
        return;
    lastPrune = at;
    const double faded = double(at) / WASTE_HALF_LIFE_MS - FADED_HALF_LIVES;
    for (auto it = addresses.begin(); it != addresses.end();) {
        const Address &a = it->second;
        it = a.inFlight == 0 && a.wakes.empty() && a.waste < faded ? addresses.erase(it)
                                                                   : std::next(it);
    }
}
