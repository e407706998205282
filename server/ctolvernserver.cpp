#include "ctolvernserver.h"

CTolvernServer::CTolvernServer(QObject *parent)
    : QTcpServer(parent)
{
}

void CTolvernServer::incomingConnection(qintptr socketDescriptor)
{
    // No socket object here: the owner decides which connection class adopts it.
    emit clientConnected(int(socketDescriptor));
}
