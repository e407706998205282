#include <QCoreApplication>
#include <QStringList>

#include "cclientcommand.h"

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    CClientCommand command;
    return command.run(QCoreApplication::arguments().mid(1));
}
