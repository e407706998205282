#include <malloc.h>

#include "cpasswordhasher.h"
#include "cserverapp.h"

int main(int argc, char **argv)
{
    // Fixed heap thresholds: each commit of the user database frees about 100 KiB at the top
    // of its thread's heap, which the C library's default of 128 KiB gave back to the system
    // after every commit, to be faulted in again for the next. Blocks below 4 MiB (a
    // transfer's buffers) come from the heap, not from a mapping of their own each time.
    mallopt(M_MMAP_THRESHOLD, 2 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 2 * 1024 * 1024);
    // libsodium set up (sodium_init) once, before any thread hashes a password.
    CPasswordHasher::instance();
    return CServerApp::run(argc, argv);
}
