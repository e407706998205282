#include <atomic>
#include <memory>
#include <thread>

#include <unistd.h>

#include <QDir>
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
    void nameFollowsIni_data();
    void nameFollowsIni();

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

void tst_SingleInstance::nameFollowsIni_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QString>("otherIni");
    QTest::addColumn<bool>("sameName");
    QTest::addColumn<bool>("baseName");
    QTest::newRow("default ini") << "bin/tolvern.ini"
                                 << "bin/tolvern.ini" << true << true;
    QTest::newRow("default ini, spelled otherwise") << "bin/../bin/./tolvern.ini"
                                                    << "bin/tolvern.ini" << true << true;
    QTest::newRow("default ini through a link") << "link/tolvern.ini"
                                                << "bin/tolvern.ini" << true << true;
    QTest::newRow("two other inis") << "a/server.ini"
                                    << "b/server.ini" << false << false;
    QTest::newRow("one other ini, two spellings") << "a/server.ini"
                                                  << "link/../a/server.ini" << true << false;
    QTest::newRow("an ini not written yet") << "new/x.ini"
                                            << "new/./x.ini" << true << false;
}

void tst_SingleInstance::nameFollowsIni()
{
    QFETCH(QString, ini);
    QFETCH(QString, otherIni);
    QFETCH(bool, sameName);
    QFETCH(bool, baseName);
    for (const char *sub : { "bin", "a", "b" })
        QVERIFY(QDir().mkpath(dir->filePath(QLatin1String(sub))));
    for (const char *file : { "bin/tolvern.ini", "a/server.ini", "b/server.ini" }) {
        QFile touch(dir->filePath(QLatin1String(file)));
        QVERIFY(touch.open(QIODevice::WriteOnly));
    }
    QVERIFY(
        QFile::link(dir->filePath(QStringLiteral("bin")), dir->filePath(QStringLiteral("link"))));
    const QString base = QStringLiteral("OMBRIVALE_TOLVERN");
    const QString defaultIni = dir->filePath(QStringLiteral("bin/tolvern.ini"));
    const QString name = CSingleInstance::nameForIni(base, dir->filePath(ini), defaultIni);
    const QString other = CSingleInstance::nameForIni(base, dir->filePath(otherIni), defaultIni);
    QCOMPARE(name == other, sameName);
    QCOMPARE(name == base, baseName);
    if (!baseName)
        QVERIFY2(name.startsWith(base + QLatin1Char('-')) && name.size() < base.size() + 16,
            qPrintable(name));
}

QTEST_MAIN(tst_SingleInstance)
#include "tst_singleinstance.moc"
