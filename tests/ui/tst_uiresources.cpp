#include <QFile>
#include <QIcon>
#include <QImage>
#include <QTest>

// Links nothing but the ui library: the icons must come with it even though no code of
// this program names the resource.
class tst_UiResources : public QObject
{
    Q_OBJECT

private slots:
    void iconLoads_data();
    void iconLoads();
};

void tst_UiResources::iconLoads_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : { "settings", "hide", "exit", "tolvern", "refresh", "add", "del",
             "open", "pass", "clear" }) {
        QTest::newRow(name) << QString::fromLatin1(name);
    }
}

void tst_UiResources::iconLoads()
{
    QFETCH(QString, name);

    const QString path = QStringLiteral(":/images/%1.png").arg(name);
    QVERIFY2(QFile::exists(path), qPrintable(path));
    const QImage image(path);
    QVERIFY(!image.isNull());
    QVERIFY(image.width() >= 24 && image.height() >= 24);
    QVERIFY(image.hasAlphaChannel());
    // Drawn, not blank: some pixel is opaque.
    bool painted = false;
    for (int y = 0; y < image.height() && !painted; ++y) {
        for (int x = 0; x < image.width() && !painted; ++x)
            painted = qAlpha(image.pixel(x, y)) == 255;
    }
    QVERIFY(painted);
    QVERIFY(!QIcon(path).pixmap(24, 24).isNull());
}

QTEST_MAIN(tst_UiResources)
#include "tst_uiresources.moc"
