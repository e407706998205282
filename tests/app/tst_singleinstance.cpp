#include <atomic>
#include <memory>
#include <thread>

#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include "csingleinstance.h"

// One copy per session, and what a second start learns from the first.
class tst_SingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void secondStartRaisesFirst();
    void holderWithoutChannelIsNamed();

private:
    std::unique_ptr<QTemporaryDir> dir;
};

void tst_SingleInstance::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir->path()));
}

void tst_SingleInstance::secondStartRaisesFirst()
{
    CSingleInstance first(QStringLiteral("TEST_INSTANCE"));
    QVERIFY(first.tryLock());
    QWidget window;
    window.showMinimized();
    int shown = 0;
    QVERIFY(first.serve(&window, [&] {
        window.showNormal();
        ++shown;
    }));

    // flock() locks belong to the open file, so a second object in this process is refused
    // like a second process would be.
    CSingleInstance second(QStringLiteral("TEST_INSTANCE"));
    QVERIFY(!second.tryLock());
    QCOMPARE(second.holderPid(), qint64(getpid()));

    // The asking side blocks; the answering side needs this thread's event loop.
    std::atomic<int> answer { -1 };
    std::thread asker([&] { answer = second.askToShow(10000) ? 1 : 0; });
    const bool answered = QTest::qWaitFor([&] { return answer >= 0; }, 15000);
    asker.join();
    QVERIFY(answered);
    QCOMPARE(answer.load(), 1);
    QCOMPARE(shown, 1);
    QVERIFY(!window.isMinimized());
}

void tst_SingleInstance::holderWithoutChannelIsNamed()
{
    CSingleInstance first(QStringLiteral("TEST_INSTANCE"));
    QVERIFY(first.tryLock());
    CSingleInstance second(QStringLiteral("TEST_INSTANCE"));
    QVERIFY(!second.tryLock());
    // A headless copy serves no window: the answer is no, at once, and the holder is known.
    QVERIFY(!second.askToShow(10000));
    QCOMPARE(second.holderPid(), qint64(getpid()));
}

QTEST_MAIN(tst_SingleInstance)
#include "tst_singleinstance.moc"
