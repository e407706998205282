#include <QtTest>

#include "cfirstbytegate.h"

using libsock::CFirstByteGate;
using Policy = CFirstByteGate::Policy;
using Route = CFirstByteGate::Route;

Q_DECLARE_METATYPE(Policy)
Q_DECLARE_METATYPE(Route)

// The decision a connection's first byte makes, on its own: every policy against what a peer
// may do first (send a handshake, send a packet of ours, close, or stay silent until the wait
// runs out).
class tst_FirstByteGate : public QObject
{
    Q_OBJECT

private slots:
    void route_data();
    void route();
};

void tst_FirstByteGate::route_data()
{
    QTest::addColumn<Policy>("policy");
    // Steps: "h" a handshake byte, "p" a packet's marker, "." nothing yet, "e" the peer's end
    // with nothing sent, "x" the wait runs out.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<Route>("route");
    const Policy plain = Policy::PlainOnly;
    const Policy either = Policy::Either;
    const Policy tls = Policy::TlsOnly;
    QTest::newRow("no TLS: decided before any byte") << plain << "" << Route::Plain;
    QTest::newRow("no TLS: a handshake byte changes nothing") << plain << "h" << Route::Plain;
    QTest::newRow("no TLS: silent to the end") << plain << ".x" << Route::Plain;
    QTest::newRow("optional: undecided without a byte") << either << "." << Route::Wait;
    QTest::newRow("optional: handshake") << either << ".h" << Route::Tls;
    QTest::newRow("optional: packet") << either << "p" << Route::Plain;
    QTest::newRow("optional: silent until the wait runs out") << either << "..x" << Route::Close;
    QTest::newRow("optional: gone without a byte") << either << "e" << Route::Close;
    QTest::newRow("optional: decided, then the wait ends") << either << "px" << Route::Plain;
    QTest::newRow("required: handshake") << tls << "h" << Route::Tls;
    QTest::newRow("required: packet") << tls << "p" << Route::Close;
    QTest::newRow("required: silent until the wait runs out") << tls << ".x" << Route::Close;
    QTest::newRow("required: decided, then bytes change nothing") << tls << "hp" << Route::Tls;
}

void tst_FirstByteGate::route()
{
    QFETCH(Policy, policy);
    QFETCH(QString, steps);
    QFETCH(Route, route);
    CFirstByteGate gate(policy);
    QCOMPARE(gate.policy(), policy);
    QByteArray seen;
    for (const QChar step : steps) {
        if (step == QLatin1Char('x')) {
            gate.expire();
            continue;
        }
        if (step == QLatin1Char('h'))
            seen += char(libsock::TLS_HANDSHAKE_BYTE);
        else if (step == QLatin1Char('p'))
            seen += char(0x1A);
        // What a peek shows: every byte so far, none taken.
        gate.feed(seen.constData(), seen.size(), step == QLatin1Char('e'));
    }
    QCOMPARE(gate.route(), route);
}

QTEST_APPLESS_MAIN(tst_FirstByteGate)
#include "tst_firstbytegate.moc"
