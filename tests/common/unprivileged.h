#ifndef UNPRIVILEGED_H
#define UNPRIVILEGED_H

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QString>

// Root ignores permission bits, so tests about them switch the effective ids to an
// unprivileged user around the call under test, after handing that user the files.
namespace testsupport {

constexpr uid_t OTHER_UID = 65534;
constexpr gid_t OTHER_GID = 65534;

inline bool runningAsRoot()
{
    return geteuid() == 0;
}

inline int chownEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return lchown(path, OTHER_UID, OTHER_GID);
}

// Gives path and everything below it (links themselves, not their targets) to the other user.
inline bool giveToOtherUser(const QString &path)
{
    return nftw(QFile::encodeName(path).constData(), chownEntry, 16, FTW_PHYS) == 0;
}

class UnprivilegedScope
{
public:
    UnprivilegedScope()
    {
        if (runningAsRoot()) {
            active = true;
            switched = setegid(OTHER_GID) == 0 && seteuid(OTHER_UID) == 0;
        }
    }
    ~UnprivilegedScope()
    {
        // A test that cannot be root again must not go on as someone else.
        if (active && (seteuid(0) != 0 || setegid(0) != 0))
            qFatal("cannot become root again after an unprivileged scope");
    }
    // False only when running as root and the switch failed.
    bool ok() const { return !active || switched; }

private:
    bool active = false;
    bool switched = false;
};

} // namespace testsupport

#endif // UNPRIVILEGED_H
