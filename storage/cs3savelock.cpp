#include "cs3savelock.h"

#include <thread>

#include <QDateTime>
#include <QRandomGenerator>
#include <QSysInfo>

#include "cs3bucket.h"

namespace {

QDateTime httpTime(const QByteArray &text)
{
    return CS3Xml::httpTime(text);
}

} // namespace

CS3SaveLock::CS3SaveLock(CS3Bucket &store, const QString &lockKey, qint64 leaseMs)
    : bucket(store)
    , key(lockKey)
    , lease(leaseMs)
{
    text = QByteArray::number(QRandomGenerator::global()->generate64(), 16) + ' '
        + QByteArray::number(QRandomGenerator::global()->generate64(), 16) + ' '
        + QSysInfo::machineHostName().toUtf8() + ' '
        + QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8() + '\n';
}

bool CS3SaveLock::acquire(qint64 waitMs, QString *error)
{
    QElapsedTimer waited;
    waited.start();
    int pause = 20;
    for (;;) {
        CS3Client::Request make;
        make.method = "PUT";
        make.key = key;
        make.body = text;
        make.headers << "If-None-Match: *";
        // The lease counts from before the request: never later than the store's.
        held.start();
        const CS3Client::Response made = bucket.client().call(make);
        if (made.ok()) {
            holding = true;
            return true;
        }
        if (made.status != 412) {
            *error = QStringLiteral("cannot lock the save: %1").arg(made.errorText());
            return false;
        }
        CS3Client::Request look;
        look.key = key;
        const CS3Client::Response seen = bucket.client().call(look);
        if (seen.ok() && seen.body == text) {
            // Ours already: an answer lost on the way and the request asked again.
            holding = true;
            return true;
        }
        if (seen.ok()) {
            const QDateTime since = httpTime(seen.header("last-modified"));
            const QDateTime now = httpTime(seen.header("date"));
            if (since.isValid() && now.isValid() && since.msecsTo(now) > lease) {
                bool gone = false;
                if (takeOver(CS3Xml::unquoted(seen.header("etag")), error, &gone))
                    return true;
                if (!gone && !error->isEmpty())
                    return false;
            }
        } else if (seen.status != 404) {
            *error = QStringLiteral("cannot lock the save: %1").arg(seen.errorText());
            return false;
        }
        if (waited.elapsed() >= waitMs) {
            *error = QStringLiteral("the save stayed locked by another server for %1 s")
                         .arg(waitMs / 1000);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(
            pause / 2 + QRandomGenerator::global()->bounded(pause / 2 + 1)));
        pause = qMin(pause * 2, 500);
    }
}

bool CS3SaveLock::takeOver(const QByteArray &etag, QString *error, bool *gone)
{
    CS3Client::Request take;
    take.method = "PUT";
    take.key = key;
    take.body = text;
    // This store takes If-Match on a PUT only unquoted.
    take.headers << "If-Match: " + etag;
    held.start();
    const CS3Client::Response taken = bucket.client().call(take);
    if (taken.ok()) {
        holding = true;
        return true;
    }
    // Someone else was quicker, or the holder let go: try again.
    *gone = taken.status == 412 || taken.status == 404;
    if (!*gone)
        *error = QStringLiteral("cannot lock the save: %1").arg(taken.errorText());
    return false;
}

bool CS3SaveLock::fresh() const
{
    return holding && held.elapsed() < lease / 2;
}

void CS3SaveLock::release()
{
    if (!holding)
        return;
    holding = false;
    if (held.elapsed() >= lease - lease / 6)
        return;
    CS3Client::Request drop;
    drop.method = "DELETE";
    drop.key = key;
    bucket.client().call(drop);
}
