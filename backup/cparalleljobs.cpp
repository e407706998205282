#include "cparalleljobs.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

int CParallelJobs::maxThreads()
{
    // Past a few threads the disk, not the processor, is the limit.
    return int(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
}

void CParallelJobs::run(int count, const std::function<void(int index)> &job, int threads)
{
    if (threads <= 0)
        threads = maxThreads();
    threads = std::min(threads, count);
    std::atomic<int> next { 0 };
    const auto work = [&] {
        for (int index = next++; index < count; index = next++)
            job(index);
    };
    std::vector<std::thread> pool;
    for (int i = 1; i < threads; ++i)
        pool.emplace_back(work);
    work();
    for (std::thread &thread : pool)
        thread.join();
}
