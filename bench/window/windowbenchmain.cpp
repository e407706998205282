#include <QApplication>

#include "cwindowbench.h"
#include "loginduringdelete.h"

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.value(0) == QLatin1String("--login-during-delete"))
        return runLoginDuringDelete(arguments.mid(1));
    CWindowBench bench;
    return bench.run(arguments);
}
