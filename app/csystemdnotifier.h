#ifndef CSYSTEMDNOTIFIER_H
#define CSYSTEMDNOTIFIER_H

#include <QObject>
#include <QString>

class QTimer;

// Tells systemd (Type=notify) how the server is doing: READY=1 once both ports listen and the
// database answers, STATUS= lines, STOPPING=1 on the way out, and WATCHDOG=1 at half the
// unit's WatchdogSec= from a timer of the event loop it lives on, so a loop that hangs has
// the service restarted. Without NOTIFY_SOCKET every call does nothing.
class CSystemdNotifier : public QObject
{
    Q_OBJECT

public:
    explicit CSystemdNotifier(QObject *parent = nullptr);

    void ready(const QString &status);
    void status(const QString &status);
    void reloading(const QString &status);
    void stopping();
    // Starts the watchdog's timer when the service manager asks for one (WATCHDOG_USEC).
    void startWatchdog();
    // The timer's interval in milliseconds; 0 without a watchdog.
    int watchdogInterval() const;

private:
    static void notify(const QByteArray &state);

    QTimer *watchdog = nullptr;
};

#endif // CSYSTEMDNOTIFIER_H
