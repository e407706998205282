#ifndef LIBSOCK_CUPLOADNAME_H
#define LIBSOCK_CUPLOADNAME_H

#include <QString>

namespace libsock {

// How an upload's temporary file beside its archive is named, and how such a name is told
// from others: the uploads make them, start-up sweeps away those cut short and backups leave
// them out. Names only, nothing of files or sockets.
class CUploadName
{
public:
    // The temporary name of an upload to archivePath: a dot and the low 24 bits of random in
    // base 36 after it ("slot1.z.k3f9"), always one isTemporary() recognises.
    static QString temporaryFor(const QString &archivePath, quint32 random);
    // Whether a file name is such a temporary name. The archive of a save named "a.z" looks
    // the same ("a.z.z") and is taken as the archive: callers that can ask the file system
    // whether a file is open for writing should ask that too.
    static bool isTemporary(const QString &fileName);
};

} // namespace libsock

#endif // LIBSOCK_CUPLOADNAME_H
