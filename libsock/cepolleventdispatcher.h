#ifndef CEPOLLEVENTDISPATCHER_H
#define CEPOLLEVENTDISPATCHER_H

#include <atomic>
#include <deque>
#include <set>
#include <utility>
#include <vector>

#include <QAbstractEventDispatcher>
#include <QHash>

class QSocketNotifier;

// An event dispatcher on one epoll set, for the threads that serve the ports. Qt's own
// dispatcher hands every socket of the thread to poll() on every pass of the event loop, so
// a pass costs in proportion to the connections open, idle ones included; here a pass costs
// in proportion to the sockets that are ready. A notifier switched on and off again within
// one pass (a socket's write notifier while a reply is written and flushed) costs no system
// call: interest changes reach the epoll set just before the next wait. Each pass delivers
// for a bounded time, new work before hang-ups, so a burst of events is taken in turns with
// whatever arrives meanwhile.
class CEpollEventDispatcher : public QAbstractEventDispatcher
{
    Q_OBJECT

public:
    explicit CEpollEventDispatcher(QObject *parent = nullptr);
    ~CEpollEventDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;

    void registerTimer(
        int timerId, qint64 interval, Qt::TimerType timerType, QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;

private:
    // The notifiers of one descriptor, by QSocketNotifier::Type, and the events the epoll set
    // holds for it now.
    struct Watched
    {
        QSocketNotifier *notifiers[3] = { nullptr, nullptr, nullptr };
        // Numbers each registration: a notifier found ready is delivered only if the one it
        // was found for is still the one registered.
        quint64 serials[3] = { 0, 0, 0 };
        quint32 applied = 0;
        bool alwaysReady = false;
    };
    struct Timer
    {
        QObject *object = nullptr;
        qint64 intervalMs = 0;
        Qt::TimerType type = Qt::CoarseTimer;
        qint64 deadlineNs = 0;
        bool delivering = false;
    };

    static quint32 wantedEvents(const Watched &watched);
    static qint64 nowNs();
    // Milliseconds from now until deadlineNs, rounded up; 0 when it has passed.
    static int msUntil(qint64 deadlineNs);
    // Reads the wake-up descriptor's count, so that the next wakeUp() writes again; 1.
    int drainWakeUp();
    // Brings the epoll set in line with the notifiers switched on and off since the last wait.
    void applyInterest();
    // The wait in milliseconds until the next timer is due; -1 for none.
    int timerWaitMs() const;
    int activateSocketNotifiers(const struct epoll_event *events, int count);
    int activateTimers();
    void setDeadline(int timerId, Timer &timer, qint64 deadlineNs);

    int epollFd = -1;
    int wakeFd = -1;
    std::atomic<bool> wakePending { false };
    std::atomic<bool> interrupted { false };

    QHash<int, Watched> watched;
    std::vector<int> changed;
    int alwaysReadyCount = 0;
    struct Ready
    {
        int fd = -1;
        int type = 0;
        QSocketNotifier *notifier = nullptr;
        quint64 serial = 0;
    };
    // The notifiers found ready by the passes under way, one list per nested event loop.
    std::deque<std::vector<Ready>> readyLists;
    int depth = 0;
    std::deque<std::vector<struct epoll_event>> eventLists;
    int waitDepth = 0;
    quint64 lastSerial = 0;

    QHash<int, Timer> timers;
    QMultiHash<QObject *, int> timersOf;
    std::set<std::pair<qint64, int>> deadlines;
};

#endif // CEPOLLEVENTDISPATCHER_H
