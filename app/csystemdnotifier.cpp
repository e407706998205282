#include "csystemdnotifier.h"

#include <climits>

#include <systemd/sd-daemon.h>

#include <QTimer>

#include "printabletext.h"

CSystemdNotifier::CSystemdNotifier(QObject *parent)
    : QObject(parent)
{
}

void CSystemdNotifier::notify(const QByteArray &state)
{
    // The variables stay set: a restart inside the process notifies again.
    sd_notify(0, state.constData());
}

void CSystemdNotifier::ready(const QString &text)
{
    notify("READY=1\nSTATUS=" + printableText(text, -1).toUtf8());
}

void CSystemdNotifier::status(const QString &text)
{
    notify("STATUS=" + printableText(text, -1).toUtf8());
}

void CSystemdNotifier::reloading(const QString &text)
{
    // The timer belongs to the event loop that is about to go; the next run starts another.
    delete watchdog;
    watchdog = nullptr;
    notify("RELOADING=1\nSTATUS=" + printableText(text, -1).toUtf8());
}

void CSystemdNotifier::stopping()
{
    delete watchdog;
    watchdog = nullptr;
    notify("STOPPING=1\nSTATUS=Stopping");
}

int CSystemdNotifier::watchdogInterval() const
{
    return watchdog ? watchdog->interval() : 0;
}

void CSystemdNotifier::startWatchdog()
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return;
    if (!watchdog) {
        watchdog = new QTimer(this);
        connect(watchdog, &QTimer::timeout, this, [] { notify("WATCHDOG=1"); });
    }
    // Half the time systemd allows, as sd_watchdog_enabled(3) recommends; at least 1 ms.
    watchdog->start(int(qBound<uint64_t>(1, usec / 2000, uint64_t(INT_MAX))));
    notify("WATCHDOG=1");
}
