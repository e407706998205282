#include <cstring>

#include <QCoreApplication>

#include "cserverapp.h"
#include "savescommand.h"

int main(int argc, char **argv)
{
    // Admin commands run beside a running server, without its window or its lock.
    if (argc >= 2 && std::strcmp(argv[1], "saves") == 0) {
        QCoreApplication app(argc, argv);
        return runSavesCommand(QCoreApplication::arguments().mid(2));
    }
    return CServerApp::run(argc, argv);
}
