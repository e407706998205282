#include <sys/resource.h>

#include <QCoreApplication>
#include <QStringList>

#include "cbenchrunner.h"
#include "cplaincopy.h"

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // A thousand connections need a thousand descriptors.
    rlimit files {};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    const QStringList arguments = QCoreApplication::arguments().mid(1);
    // The far end of the plain copy runs in a process of its own.
    if (arguments.size() == 2 && arguments.first() == QLatin1String("--plain-send"))
        return CPlainCopy::serveSend(arguments.at(1));
    if (arguments.size() == 2 && arguments.first() == QLatin1String("--plain-receive"))
        return CPlainCopy::serveReceive(arguments.at(1));

    CBenchRunner runner;
    return runner.run(arguments);
}
