// Preloaded into a server (LD_PRELOAD) to record, in the order they happen, every file sync
// and, with TOLVERN_PROBE_SOCKETS=1, every socket read and write. One line per event in the
// file TOLVERN_PROBE_FILE: "<sequence> <S|R|W> <fd> <bytes>"; with TOLVERN_PROBE_PATHS=1 a
// sync's line ends with " <path of what was synced>". A sync is recorded once it has returned,
// a write before it starts, a read once it has returned data.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

std::atomic<unsigned long> sequence { 0 };
std::atomic<int> logFd { -2 };

int probeFd()
{
    int fd = logFd.load();
    if (fd != -2)
        return fd;
    const char *path = std::getenv("TOLVERN_PROBE_FILE");
    fd = path
        ? int(syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644))
        : -1;
    int expected = -2;
    if (!logFd.compare_exchange_strong(expected, fd) && fd >= 0) {
        syscall(SYS_close, fd);
        fd = expected;
    }
    return fd;
}

bool socketsWanted()
{
    static const bool wanted = [] {
        const char *value = std::getenv("TOLVERN_PROBE_SOCKETS");
        return value && value[0] == '1';
    }();
    return wanted;
}

bool isSocket(int fd)
{
    struct stat info
    {
    };
    return syscall(SYS_fstat, fd, &info) == 0 && S_ISSOCK(info.st_mode);
}

bool pathsWanted()
{
    static const bool wanted = [] {
        const char *value = std::getenv("TOLVERN_PROBE_PATHS");
        return value && value[0] == '1';
    }();
    return wanted;
}

void record(char kind, int fd, long bytes)
{
    const int out = probeFd();
    if (out < 0)
        return;
    char path[4096] = "";
    if (kind == 'S' && pathsWanted()) {
        char link[64];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const long length = syscall(SYS_readlinkat, AT_FDCWD, link, path, sizeof path - 1);
        path[length > 0 ? length : 0] = '\0';
    }
    char line[4200];
    const int size = std::snprintf(line, sizeof line, "%lu %c %d %ld%s%s\n", ++sequence, kind, fd,
        bytes, path[0] ? " " : "", path);
    if (size > 0)
        syscall(
            SYS_write, out, line, size_t(size < int(sizeof line) ? size : int(sizeof line) - 1));
}

void recordWrite(int fd, long bytes)
{
    if (bytes > 0 && socketsWanted() && isSocket(fd))
        record('W', fd, bytes);
}

long recordRead(int fd, long got)
{
    if (got > 0 && socketsWanted() && isSocket(fd))
        record('R', fd, got);
    return got;
}

template<typename Function> Function next(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

int fsync(int fd)
{
    static const auto real = next<int (*)(int)>("fsync");
    const int result = real(fd);
    record('S', fd, 0);
    return result;
}

int fdatasync(int fd)
{
    static const auto real = next<int (*)(int)>("fdatasync");
    const int result = real(fd);
    record('S', fd, 0);
    return result;
}

ssize_t write(int fd, const void *data, size_t size)
{
    static const auto real = next<ssize_t (*)(int, const void *, size_t)>("write");
    recordWrite(fd, long(size));
    return real(fd, data, size);
}

ssize_t writev(int fd, const struct iovec *vector, int count)
{
    static const auto real = next<ssize_t (*)(int, const struct iovec *, int)>("writev");
    long size = 0;
    for (int i = 0; i < count; ++i)
        size += long(vector[i].iov_len);
    recordWrite(fd, size);
    return real(fd, vector, count);
}

ssize_t send(int fd, const void *data, size_t size, int flags)
{
    static const auto real = next<ssize_t (*)(int, const void *, size_t, int)>("send");
    recordWrite(fd, long(size));
    return real(fd, data, size, flags);
}

ssize_t sendto(
    int fd, const void *data, size_t size, int flags, const struct sockaddr *to, socklen_t length)
{
    static const auto real
        = next<ssize_t (*)(int, const void *, size_t, int, const struct sockaddr *, socklen_t)>(
            "sendto");
    recordWrite(fd, long(size));
    return real(fd, data, size, flags, to, length);
}

ssize_t sendmsg(int fd, const struct msghdr *message, int flags)
{
    static const auto real = next<ssize_t (*)(int, const struct msghdr *, int)>("sendmsg");
    long size = 0;
    for (size_t i = 0; i < message->msg_iovlen; ++i)
        size += long(message->msg_iov[i].iov_len);
    recordWrite(fd, size);
    return real(fd, message, flags);
}

ssize_t read(int fd, void *data, size_t size)
{
    static const auto real = next<ssize_t (*)(int, void *, size_t)>("read");
    return recordRead(fd, real(fd, data, size));
}

ssize_t recv(int fd, void *data, size_t size, int flags)
{
    static const auto real = next<ssize_t (*)(int, void *, size_t, int)>("recv");
    return recordRead(fd, real(fd, data, size, flags));
}

ssize_t recvfrom(
    int fd, void *data, size_t size, int flags, struct sockaddr *from, socklen_t *length)
{
    static const auto real
        = next<ssize_t (*)(int, void *, size_t, int, struct sockaddr *, socklen_t *)>("recvfrom");
    return recordRead(fd, real(fd, data, size, flags, from, length));
}

ssize_t recvmsg(int fd, struct msghdr *message, int flags)
{
    static const auto real = next<ssize_t (*)(int, struct msghdr *, int)>("recvmsg");
    return recordRead(fd, real(fd, message, flags));
}

} // extern "C"
