// The Prometheus histograms: each observation in the lowest bucket whose bound it does not
// pass, counted in every bucket above (le: less than or equal).
#include <QTest>

#include "cmetrics.h"

namespace {

// The cumulative counts of the buckets, "le=count" each, in the order rendered.
QStringList buckets(const QByteArray &text, const QByteArray &name)
{
    QStringList out;
    for (const QByteArray &line : text.split('\n')) {
        if (!line.startsWith(name + "_bucket{le=\""))
            continue;
        const qsizetype close = line.indexOf("\"}");
        out << QString::fromLatin1(
            line.mid(name.size() + 12, close - name.size() - 12) + '=' + line.mid(close + 3));
    }
    return out;
}

QStringList counts(const char *text)
{
    return QString::fromLatin1(text).split(QLatin1Char(' '));
}

} // namespace

class tst_Metrics : public QObject
{
    Q_OBJECT

private slots:
    void bucketBounds_data();
    void bucketBounds();
    void singleRequestCommitsUnderOne();
};

void tst_Metrics::bucketBounds_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("zero") << 0.0 << counts("1=1 2=1 4=1 +Inf=1");
    QTest::newRow("at the first bound") << 1.0 << counts("1=1 2=1 4=1 +Inf=1");
    QTest::newRow("just past it") << 1.001 << counts("1=0 2=1 4=1 +Inf=1");
    QTest::newRow("at the second") << 2.0 << counts("1=0 2=1 4=1 +Inf=1");
    QTest::newRow("at the last") << 4.0 << counts("1=0 2=0 4=1 +Inf=1");
    QTest::newRow("past the last") << 4.5 << counts("1=0 2=0 4=0 +Inf=1");
}

void tst_Metrics::bucketBounds()
{
    QFETCH(double, value);
    QFETCH(QStringList, expected);
    CMetrics::Histogram histogram({ 1, 2, 4 });
    histogram.observe(value);
    QByteArray text;
    histogram.render(text, "h", "help");
    QCOMPARE(buckets(text, "h"), expected);
    QVERIFY2(text.contains("\nh_count 1\n"), text.constData());
}

void tst_Metrics::singleRequestCommitsUnderOne()
{
    CMetrics metrics;
    metrics.batchCommitted(1, 300000, true);
    metrics.batchCommitted(1, 300000, true);
    metrics.batchCommitted(2, 300000, true);
    const QStringList sizes = buckets(metrics.render(), "tolvern_commit_batch_size");
    QVERIFY(sizes.size() > 3);
    QCOMPARE(sizes.mid(0, 3), counts("1=2 2=3 4=3"));
    // 0.3 ms: under the first bound of half a millisecond.
    QCOMPARE(
        buckets(metrics.render(), "tolvern_commit_seconds").first(), QStringLiteral("0.0005=3"));
}

QTEST_GUILESS_MAIN(tst_Metrics)
#include "tst_metrics.moc"
