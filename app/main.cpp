#include "cserverapp.h"

int main(int argc, char **argv)
{
    return CServerApp::run(argc, argv);
}
