#include <QTest>

#include "printabletext.h"

class tst_PrintableText : public QObject
{
    Q_OBJECT

private slots:
    void escapes_data();
    void escapes();
};

void tst_PrintableText::escapes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    // Without control characters a text stays exactly as it is, backslashes and all.
    QTest::newRow("plain") << QStringLiteral("alice") << QStringLiteral("alice");
    QTest::newRow("backslash kept")
        << QStringLiteral("C:\\saves\\n") << QStringLiteral("C:\\saves\\n");
    QTest::newRow("Latin-1 letters")
        << QStringLiteral("J\u00f6rg \u00e9t\u00e9") << QStringLiteral("J\u00f6rg \u00e9t\u00e9");
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("line breaks") << QStringLiteral("a\nb\r\nc\td")
                                 << QStringLiteral("a\\nb\\r\\nc\\td");
    QTest::newRow("escape and NUL")
        << QString::fromLatin1("\x1b[2J\0x", 6) << QStringLiteral("\\x1b[2J\\x00x");
    QTest::newRow("DEL and C1") << QStringLiteral("\u007f\u0085\u009b")
                                << QStringLiteral("\\x7f\\x85\\x9b");
    const QString longest(MAX_SHOWN_TEXT, QLatin1Char('a'));
    QTest::newRow("longest shown whole") << longest << longest;
    QTest::newRow("one more is cut") << longest + QLatin1Char('b') << longest + QChar(0x2026);
    QTest::newRow("cut before escaping")
        << longest + QStringLiteral("\n\n") << longest + QChar(0x2026);
    QTest::newRow("line separators")
        << QStringLiteral("a\u2028b\u2029") << QStringLiteral("a\\u2028b\\u2029");
}

void tst_PrintableText::escapes()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(printableText(text), shown);
    // Shown twice, a text stays the same: the console passes whole lines through again.
    QCOMPARE(printableText(shown, -1), shown);
}

QTEST_GUILESS_MAIN(tst_PrintableText)
#include "tst_printabletext.moc"
