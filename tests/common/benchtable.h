#ifndef BENCHTABLE_H
#define BENCHTABLE_H

#include <QList>
#include <QStringList>

// Prints a benchmark's figures as a Markdown table on stdout, columns as wide as their
// widest cell, so a run can be pasted into the README as it is.
void printBenchTable(const QStringList &headers, const QList<QStringList> &rows);

#endif // BENCHTABLE_H
