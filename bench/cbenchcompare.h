#ifndef CBENCHCOMPARE_H
#define CBENCHCOMPARE_H

#include <vector>

#include <QList>
#include <QString>
#include <QStringList>

#include "cbenchrunner.h"

// --compare PATH: each figure run again, right after this tree's, by another build (PATH:
// its bin folder, whose tolvern-bench runs with its own tolvern-server; or a server
// executable, which this tolvern-bench runs with --server), with the same options. Both
// trees meet the machine in the same state, so a regression shows as a ratio of the two.
class CBenchCompare
{
public:
    // arguments: this run's options, --compare and --figures left out.
    CBenchCompare(const QString &path, const QStringList &arguments);

    // Runs figure on the other build and pairs its rows with ours (this tree's rows of that
    // figure), in order. False with error set when the other run printed none.
    bool measure(int figure, const std::vector<CBenchRunner::Row> &ours, QString *error);
    void printTable() const;

private:
    QString program;
    QStringList options;
    QList<QStringList> lines;
};

#endif // CBENCHCOMPARE_H
