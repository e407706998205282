#include <QApplication>

#include "cwindowbench.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    CWindowBench bench;
    return bench.run(QCoreApplication::arguments().mid(1));
}
