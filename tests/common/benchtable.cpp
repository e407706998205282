#include "benchtable.h"

#include <cstdio>

void printBenchTable(const QStringList &headers, const QList<QStringList> &rows)
{
    QList<int> widths;
    for (const QString &header : headers)
        widths << int(header.size());
    for (const QStringList &line : rows) {
        for (int i = 0; i < line.size() && i < widths.size(); ++i)
            widths[i] = qMax(widths[i], int(line.at(i).size()));
    }
    const auto print = [&widths](const QStringList &line) {
        QString text = QStringLiteral("|");
        for (int i = 0; i < line.size() && i < widths.size(); ++i)
            text += QLatin1Char(' ') + line.at(i).leftJustified(widths[i]) + QStringLiteral(" |");
        std::printf("%s\n", qPrintable(text));
    };
    print(headers);
    QStringList rule;
    for (int width : std::as_const(widths))
        rule << QString(width, QLatin1Char('-'));
    print(rule);
    for (const QStringList &line : rows)
        print(line);
}
