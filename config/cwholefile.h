#ifndef CWHOLEFILE_H
#define CWHOLEFILE_H

#include <sys/types.h>

#include <QFile>
#include <QString>

// A file written whole or not at all: the bytes go into a new temporary file beside it
// (".<name>.<random>.partial"), which is synced, given its owner and permission bits and
// renamed over the name; the folder is synced after. Whatever stood at the name, a symbolic
// link too, is replaced and never written through. A new file is its owner's only whatever
// the umask; a file replaced keeps its owner, group and permission bits, less those of
// others (an ini the service's group reads stays readable to it, and to nobody else).
class CWholeFile
{
public:
    explicit CWholeFile(const QString &path);
    // A file never committed leaves nothing behind.
    ~CWholeFile();
    CWholeFile(const CWholeFile &) = delete;
    CWholeFile &operator=(const CWholeFile &) = delete;

    // Creates the temporary file; newMode: the permission bits if nothing stands at the name.
    bool open(mode_t newMode = 0600);
    // Where the bytes go, once open.
    QIODevice *device() { return &file; }
    bool commit();
    QString errorString() const { return error; }

    // open(), the bytes, commit().
    static bool write(const QString &path, const QByteArray &bytes, QString *errorText);
    // Whether a file name is that of a temporary file of this class.
    static bool isTemporaryName(const QString &fileName);

private:
    bool fail(const QString &what);
    void discard();

    QString target;
    QString temporary;
    QFile file;
    QString error;
    int fd = -1;
    mode_t mode = 0600;
    uid_t owner = uid_t(-1);
    gid_t group = gid_t(-1);
};

#endif // CWHOLEFILE_H
