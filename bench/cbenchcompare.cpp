#include "cbenchcompare.h"

#include <cstdio>

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include "benchtable.h"

namespace {

// The first number of a measured cell ("509 MiB/s", "p99 1.20 ms, ..."), or -1.
double leadingNumber(const QString &text)
{
    // Not the digits of a name such as "p99".
    static const QRegularExpression number(QStringLiteral("(?<![\\w.])(\\d+(?:\\.\\d+)?)"));
    const QRegularExpressionMatch match = number.match(text);
    return match.hasMatch() ? match.captured(1).toDouble() : -1;
}

// The rows of the Markdown table a tolvern-bench printed: its cells, header and rule left out.
QList<QStringList> tableRows(const QString &output)
{
    QList<QStringList> rows;
    bool header = true;
    for (const QString &line : output.split(QLatin1Char('\n'))) {
        if (!line.startsWith(QLatin1String("| ")))
            continue;
        QStringList cells = line.mid(1, line.size() - 2).split(QLatin1Char('|'));
        for (QString &cell : cells)
            cell = cell.trimmed();
        if (header || cells.value(0).startsWith(QLatin1String("---"))) {
            header = false;
            continue;
        }
        rows << cells;
    }
    return rows;
}

} // namespace

CBenchCompare::CBenchCompare(const QString &path, const QStringList &arguments)
    : options(arguments)
{
    if (QFileInfo(path).isDir()) {
        program = path + QStringLiteral("/tolvern-bench");
    } else {
        program = QCoreApplication::applicationFilePath();
        options << QStringLiteral("--server") << path;
    }
}

bool CBenchCompare::measure(int figure, const std::vector<CBenchRunner::Row> &ours, QString *error)
{
    QProcess other;
    other.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    std::fprintf(stderr, "[bench] figure %d again with %s\n", figure, qPrintable(program));
    other.start(
        program, options + QStringList { QStringLiteral("--figures"), QString::number(figure) });
    if (!other.waitForFinished(3600 * 1000) || other.exitStatus() != QProcess::NormalExit) {
        *error = QStringLiteral("%1 did not finish figure %2").arg(program).arg(figure);
        return false;
    }
    const QList<QStringList> theirs
        = tableRows(QString::fromLocal8Bit(other.readAllStandardOutput()));
    if (theirs.isEmpty()) {
        *error = QStringLiteral("%1 printed no row for figure %2").arg(program).arg(figure);
        return false;
    }
    for (qsizetype i = 0; i < qMax(qsizetype(ours.size()), theirs.size()); ++i) {
        const QString mine = i < qsizetype(ours.size()) ? ours.at(size_t(i)).measured : QString();
        const QString their = i < theirs.size() ? theirs.at(i).value(1) : QString();
        const double a = leadingNumber(mine);
        const double b = leadingNumber(their);
        lines << QStringList { i < qsizetype(ours.size()) ? ours.at(size_t(i)).figure
                                                          : theirs.at(i).value(0),
            mine, their, a >= 0 && b > 0 ? QString::number(a / b, 'f', 2) : QStringLiteral("-"),
            i < theirs.size() ? theirs.at(i).value(3) : QString() };
    }
    return true;
}

void CBenchCompare::printTable() const
{
    std::printf("\nCompared with %s (each figure run by both in turn):\n\n", qPrintable(program));
    printBenchTable(
        { QStringLiteral("figure"), QStringLiteral("this tree"), QStringLiteral("other tree"),
            QStringLiteral("this / other"), QStringLiteral("other tree's ratio") },
        lines);
    std::fflush(stdout);
}
