// The uploads' temporary names: what the uploads make is what the sweep and the backups
// recognise, and nothing an archive may be called.
#include <QtTest>

#include "cuploadname.h"

using libsock::CUploadName;

class tst_UploadName : public QObject
{
    Q_OBJECT

private slots:
    void isTemporary_data();
    void isTemporary();
    void madeNamesAreRecognised_data();
    void madeNamesAreRecognised();
};

void tst_UploadName::isTemporary_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("temporary");
    QTest::newRow("one digit") << "slot1.z.0" << true;
    QTest::newRow("five digits") << "slot1.z.zzzzz" << true;
    QTest::newRow("six digits") << "slot1.z.zzzzz0" << false;
    QTest::newRow("no digits") << "slot1.z." << false;
    QTest::newRow("archive") << "slot1.z" << false;
    QTest::newRow("archive of a save named a.z") << "a.z.z" << false;
    QTest::newRow("not after an archive") << "slot1.y.k3f9" << false;
    QTest::newRow("upper case") << "slot1.z.K3F9" << false;
    QTest::newRow("not base 36") << "slot1.z.k3-9" << false;
    QTest::newRow("dot first") << ".z" << false;
}

void tst_UploadName::isTemporary()
{
    QFETCH(QString, name);
    QFETCH(bool, temporary);
    QCOMPARE(CUploadName::isTemporary(name), temporary);
}

void tst_UploadName::madeNamesAreRecognised_data()
{
    QTest::addColumn<quint32>("random");
    QTest::newRow("0") << quint32(0);
    QTest::newRow("a lone z") << quint32(35);
    QTest::newRow("24 bits") << quint32(0xFFFFFF);
    QTest::newRow("above 24 bits") << quint32(0xFFFFFFFF);
    QTest::newRow("seeded") << QRandomGenerator(32).generate();
}

void tst_UploadName::madeNamesAreRecognised()
{
    QFETCH(quint32, random);
    const QString name = CUploadName::temporaryFor(QStringLiteral("dir/slot1.z"), random);
    QVERIFY2(name.startsWith(QLatin1String("dir/slot1.z.")), qPrintable(name));
    QVERIFY2(CUploadName::isTemporary(name.mid(4)), qPrintable(name));
}

QTEST_GUILESS_MAIN(tst_UploadName)
#include "tst_uploadname.moc"
