#ifndef CSQLITEWALVFS_H
#define CSQLITEWALVFS_H

class QSqlDatabase;

// SQLite writes a commit to its write-ahead log one system call per frame header and one per
// page: 64 calls for a group commit of 32 logins, which on a virtual machine cost as much as
// the sync after them. This file layer, installed as SQLite's default in front of the
// platform's own, gathers the frames of a commit in memory and writes them in one call
// before the sync, and keeps the log written ahead of its frames.
//
// Only a connection that syncs its log at every commit may gather (bufferLog): its commit
// becomes visible to other connections only after that sync. The frames are written out as
// well before anything reads, sizes or truncates the log, and before the connection gives up
// its write lock, so no other writer ever works on a log with frames still held here.
class CSqliteWalVfs
{
public:
    // A gathering log is kept written this far ahead of its frames (zeros SQLite never reads),
    // by the commit that comes within half of it of the file's end: a commit that writes over
    // blocks already there waits at its sync for no allocation, no change of the file's size
    // and (on ext4) no kernel worker marking new blocks written.
    static constexpr long long LOG_AHEAD_BYTES = 1024 * 1024;

    // Registers the layer as the default for every SQLite connection this process opens
    // from now on; does nothing after the first call. False when SQLite has no default
    // layer to wrap.
    static bool install();
    // Lets db gather the frames of its log, which must be open (in WAL mode, after a first
    // statement). False when db is no SQLite connection, its files were not opened through
    // this layer (install came later, or another SQLite library serves the Qt driver) or db
    // is not in WAL mode.
    static bool bufferLog(const QSqlDatabase &db);
};

#endif // CSQLITEWALVFS_H
