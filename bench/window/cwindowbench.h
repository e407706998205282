#ifndef CWINDOWBENCH_H
#define CWINDOWBENCH_H

#include <vector>

#include <QString>
#include <QStringList>

// The operator's window under load: select all and delete on a large user page, and the
// memory of a full log. Each figure is printed beside a yardstick measured in the same run.
class CWindowBench
{
public:
    // arguments: the command line without the program name. Returns 0 when every target was
    // met, 2 when one was missed, 1 when a figure could not be measured, 64 on bad usage.
    int run(const QStringList &arguments);

private:
    struct Row
    {
        QString figure;
        QString measured;
        QString yardstick;
        QString target;
        bool met = false;
    };

    bool parse(const QStringList &arguments);
    bool openDatabase();
    bool fillUsers(int count);
    bool measureUserPage();
    bool measureLog();
    void printTable() const;
    static qint64 residentBytes();
    static void note(const QString &line);

    QString baseDir;
    int users = 100000;
    int logLines = 100000;
    std::vector<Row> rows;
    bool failed = false;
};

#endif // CWINDOWBENCH_H
