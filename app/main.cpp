#include <malloc.h>

#include "cserverapp.h"

int main(int argc, char **argv)
{
    // Each commit of the user database frees about 100 KiB at the top of its thread's heap;
    // with the C library's default threshold of 128 KiB that memory went back to the system
    // after every commit and was faulted in again for the next.
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024);
    return CServerApp::run(argc, argv);
}
