#ifndef CPARALLELJOBS_H
#define CPARALLELJOBS_H

#include <functional>

// Runs job(0) .. job(count - 1) on a few threads, each taking the next index as it gets free.
// Hashing a backup is bound by the processor (SHA-256 reads at about the speed of the page
// cache), so one thread per core reads a tree in about the time it takes to link it.
class CParallelJobs
{
public:
    // threads 0: one per core, at most maxThreads().
    static void run(int count, const std::function<void(int index)> &job, int threads = 0);
    static int maxThreads();
};

#endif // CPARALLELJOBS_H
