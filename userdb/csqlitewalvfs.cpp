#include "csqlitewalvfs.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include <sqlite3.h>

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QVariant>

namespace {

// Frames held beyond this are written out early: a commit larger than this costs a few
// calls more, never more memory.
constexpr size_t MAX_GATHERED_BYTES = 4 * 1024 * 1024;
// The platform layer takes less than 128 KiB per call (it cuts longer writes short).
constexpr size_t MAX_WRITE_BYTES = 124 * 1024;
// A gathering log is written ahead in steps of this many zero bytes. A commit that appends to
// the file waits at its sync for the new blocks to be allocated, for the file's size to be
// stored and, on ext4, for a kernel worker (which uploads' write-back keeps busy) to mark the
// blocks written: measured under two uploads, most of the slow syncs of logins. Frames past
// the last valid one are never read: SQLite stops at the first whose checksum fails, as a zero
// one does. (Databases commonly do the same: PostgreSQL fills new log segments with zeros.)
constexpr sqlite3_int64 LOG_AHEAD_BYTES = CSqliteWalVfs::LOG_AHEAD_BYTES;

sqlite3_vfs *baseVfs = nullptr;
sqlite3_vfs layerVfs;
sqlite3_io_methods layerMethods[3];

// What SQLite sees of a file opened through the layer; the platform's own file follows it
// in the same allocation.
struct LayerFile
{
    sqlite3_file base;
    sqlite3_file *real = nullptr;
    bool isLog = false;
    // A log: whether its frames are gathered, and the database file that writes it.
    bool gather = false;
    LayerFile *owner = nullptr;
    // A database file: its log, once that gathers, and whether it holds the log's write lock.
    LayerFile *log = nullptr;
    bool writing = false;
    std::vector<char> held;
    sqlite3_int64 heldOffset = 0;
    // A log: where the frames it wrote last end.
    sqlite3_int64 framesEnd = 0;

    // Writes what is held; an error drops it (the commit it belonged to fails with it).
    int writeOut()
    {
        int rc = SQLITE_OK;
        for (size_t done = 0; rc == SQLITE_OK && done < held.size(); done += MAX_WRITE_BYTES) {
            const size_t size = std::min(MAX_WRITE_BYTES, held.size() - done);
            rc = real->pMethods->xWrite(
                real, held.data() + done, int(size), heldOffset + sqlite3_int64(done));
        }
        if (!held.empty())
            framesEnd = heldOffset + sqlite3_int64(held.size());
        held.clear();
        return rc;
    }

    // A log whose writer holds the write lock, so that nobody else appends meanwhile: zeros
    // past the file's end once the frames come near it. Past the file's end, never past the
    // frames this connection wrote last: another connection may have written some since.
    int writeAhead()
    {
        sqlite3_int64 size = 0;
        if (!owner || !owner->writing || real->pMethods->xFileSize(real, &size) != SQLITE_OK
            || size - framesEnd >= LOG_AHEAD_BYTES / 2)
            return SQLITE_OK;
        static const std::vector<char> zeros(MAX_WRITE_BYTES, 0);
        int rc = SQLITE_OK;
        for (sqlite3_int64 done = 0; rc == SQLITE_OK && done < LOG_AHEAD_BYTES;
             done += sqlite3_int64(zeros.size())) {
            const auto chunk = int(std::min(sqlite3_int64(zeros.size()), LOG_AHEAD_BYTES - done));
            rc = real->pMethods->xWrite(real, zeros.data(), chunk, size + done);
        }
        return rc;
    }
};

constexpr size_t realOffset()
{
    return (sizeof(LayerFile) + 7) & ~size_t(7);
}

LayerFile *layer(sqlite3_file *file)
{
    return reinterpret_cast<LayerFile *>(file);
}

bool isLayerFile(const sqlite3_file *file)
{
    if (!file || !file->pMethods)
        return false;
    for (const sqlite3_io_methods &methods : layerMethods) {
        if (file->pMethods == &methods)
            return true;
    }
    return false;
}

int layerClose(sqlite3_file *file)
{
    LayerFile *f = layer(file);
    int rc = f->writeOut();
    if (f->owner)
        f->owner->log = nullptr;
    if (f->log)
        f->log->owner = nullptr;
    const int closed = f->real->pMethods ? f->real->pMethods->xClose(f->real) : SQLITE_OK;
    f->~LayerFile();
    return rc == SQLITE_OK ? closed : rc;
}

int layerRead(sqlite3_file *file, void *data, int amount, sqlite3_int64 offset)
{
    LayerFile *f = layer(file);
    const int rc = f->writeOut();
    if (rc != SQLITE_OK)
        return rc;
    return f->real->pMethods->xRead(f->real, data, amount, offset);
}

int layerWrite(sqlite3_file *file, const void *data, int amount, sqlite3_int64 offset)
{
    LayerFile *f = layer(file);
    if (!f->gather)
        return f->real->pMethods->xWrite(f->real, data, amount, offset);
    const auto bytes = static_cast<const char *>(data);
    const sqlite3_int64 heldEnd = f->heldOffset + sqlite3_int64(f->held.size());
    if (!f->held.empty() && offset >= f->heldOffset && offset + amount <= heldEnd) {
        // A frame of this commit written again (SQLite rewrites a page changed twice).
        std::memcpy(f->held.data() + (offset - f->heldOffset), bytes, size_t(amount));
        return SQLITE_OK;
    }
    if (f->held.empty() || offset != heldEnd) {
        const int rc = f->writeOut();
        if (rc != SQLITE_OK)
            return rc;
        f->heldOffset = offset;
    }
    f->held.insert(f->held.end(), bytes, bytes + amount);
    return f->held.size() >= MAX_GATHERED_BYTES ? f->writeOut() : SQLITE_OK;
}

int layerTruncate(sqlite3_file *file, sqlite3_int64 size)
{
    LayerFile *f = layer(file);
    const int rc = f->writeOut();
    return rc != SQLITE_OK ? rc : f->real->pMethods->xTruncate(f->real, size);
}

int layerSync(sqlite3_file *file, int flags)
{
    LayerFile *f = layer(file);
    int rc = f->writeOut();
    // The zeros ride on the commit's own sync.
    if (rc == SQLITE_OK && f->gather)
        rc = f->writeAhead();
    return rc != SQLITE_OK ? rc : f->real->pMethods->xSync(f->real, flags);
}

int layerFileSize(sqlite3_file *file, sqlite3_int64 *size)
{
    LayerFile *f = layer(file);
    const int rc = f->writeOut();
    return rc != SQLITE_OK ? rc : f->real->pMethods->xFileSize(f->real, size);
}

int layerLock(sqlite3_file *file, int level)
{
    return layer(file)->real->pMethods->xLock(layer(file)->real, level);
}

int layerUnlock(sqlite3_file *file, int level)
{
    return layer(file)->real->pMethods->xUnlock(layer(file)->real, level);
}

int layerCheckReservedLock(sqlite3_file *file, int *result)
{
    return layer(file)->real->pMethods->xCheckReservedLock(layer(file)->real, result);
}

int layerFileControl(sqlite3_file *file, int op, void *arg)
{
    LayerFile *f = layer(file);
    const int rc = f->writeOut();
    return rc != SQLITE_OK ? rc : f->real->pMethods->xFileControl(f->real, op, arg);
}

int layerSectorSize(sqlite3_file *file)
{
    return layer(file)->real->pMethods->xSectorSize(layer(file)->real);
}

int layerDeviceCharacteristics(sqlite3_file *file)
{
    return layer(file)->real->pMethods->xDeviceCharacteristics(layer(file)->real);
}

int layerShmMap(sqlite3_file *file, int region, int size, int extend, void volatile **map)
{
    return layer(file)->real->pMethods->xShmMap(layer(file)->real, region, size, extend, map);
}

int layerShmLock(sqlite3_file *file, int offset, int count, int flags)
{
    LayerFile *f = layer(file);
    // Slot 0 is the log's write lock: whatever the writer still holds goes out before
    // another writer may append. (A commit's frames went out at its sync already; these
    // belong to a transaction that was rolled back.)
    if ((flags & SQLITE_SHM_UNLOCK) && offset == 0 && f->log)
        f->log->writeOut();
    const int rc = f->real->pMethods->xShmLock(f->real, offset, count, flags);
    if (offset == 0 && rc == SQLITE_OK)
        f->writing = (flags & SQLITE_SHM_LOCK) && (flags & SQLITE_SHM_EXCLUSIVE);
    return rc;
}

void layerShmBarrier(sqlite3_file *file)
{
    layer(file)->real->pMethods->xShmBarrier(layer(file)->real);
}

int layerShmUnmap(sqlite3_file *file, int deleteFlag)
{
    return layer(file)->real->pMethods->xShmUnmap(layer(file)->real, deleteFlag);
}

int layerFetch(sqlite3_file *file, sqlite3_int64 offset, int amount, void **page)
{
    return layer(file)->real->pMethods->xFetch(layer(file)->real, offset, amount, page);
}

int layerUnfetch(sqlite3_file *file, sqlite3_int64 offset, void *page)
{
    return layer(file)->real->pMethods->xUnfetch(layer(file)->real, offset, page);
}

int layerOpen(sqlite3_vfs *, const char *name, sqlite3_file *file, int flags, int *outFlags)
{
    auto *f = new (file) LayerFile;
    f->base.pMethods = nullptr;
    f->real = reinterpret_cast<sqlite3_file *>(reinterpret_cast<char *>(file) + realOffset());
    f->real->pMethods = nullptr;
    f->isLog = (flags & SQLITE_OPEN_WAL) != 0;
    const int rc = baseVfs->xOpen(baseVfs, name, f->real, flags, outFlags);
    if (rc != SQLITE_OK || !f->real->pMethods) {
        // SQLite closes nothing whose methods are unset; the platform's file closes itself.
        if (f->real->pMethods)
            f->real->pMethods->xClose(f->real);
        f->~LayerFile();
        file->pMethods = nullptr;
        return rc != SQLITE_OK ? rc : SQLITE_CANTOPEN;
    }
    // The same version as the platform's file: SQLite asks no more of it than that offers.
    const int version = f->real->pMethods->iVersion;
    f->base.pMethods = &layerMethods[version >= 3 ? 2 : version == 2 ? 1 : 0];
    return SQLITE_OK;
}

int layerDelete(sqlite3_vfs *, const char *name, int syncDir)
{
    return baseVfs->xDelete(baseVfs, name, syncDir);
}

int layerAccess(sqlite3_vfs *, const char *name, int flags, int *result)
{
    return baseVfs->xAccess(baseVfs, name, flags, result);
}

int layerFullPathname(sqlite3_vfs *, const char *name, int size, char *out)
{
    return baseVfs->xFullPathname(baseVfs, name, size, out);
}

void *layerDlOpen(sqlite3_vfs *, const char *name)
{
    return baseVfs->xDlOpen(baseVfs, name);
}

void layerDlError(sqlite3_vfs *, int size, char *out)
{
    baseVfs->xDlError(baseVfs, size, out);
}

void (*layerDlSym(sqlite3_vfs *, void *handle, const char *symbol))(void)
{
    return baseVfs->xDlSym(baseVfs, handle, symbol);
}

void layerDlClose(sqlite3_vfs *, void *handle)
{
    baseVfs->xDlClose(baseVfs, handle);
}

int layerRandomness(sqlite3_vfs *, int size, char *out)
{
    return baseVfs->xRandomness(baseVfs, size, out);
}

int layerSleep(sqlite3_vfs *, int microseconds)
{
    return baseVfs->xSleep(baseVfs, microseconds);
}

int layerCurrentTime(sqlite3_vfs *, double *now)
{
    return baseVfs->xCurrentTime(baseVfs, now);
}

int layerGetLastError(sqlite3_vfs *, int size, char *out)
{
    return baseVfs->xGetLastError ? baseVfs->xGetLastError(baseVfs, size, out) : 0;
}

int layerCurrentTimeInt64(sqlite3_vfs *, sqlite3_int64 *now)
{
    return baseVfs->xCurrentTimeInt64(baseVfs, now);
}

} // namespace

bool CSqliteWalVfs::install()
{
    static bool installed = false;
    static std::once_flag once;
    std::call_once(once, [] {
        baseVfs = sqlite3_vfs_find(nullptr);
        if (!baseVfs)
            return;
        const sqlite3_io_methods methods = {
            3,
            layerClose,
            layerRead,
            layerWrite,
            layerTruncate,
            layerSync,
            layerFileSize,
            layerLock,
            layerUnlock,
            layerCheckReservedLock,
            layerFileControl,
            layerSectorSize,
            layerDeviceCharacteristics,
            layerShmMap,
            layerShmLock,
            layerShmBarrier,
            layerShmUnmap,
            layerFetch,
            layerUnfetch,
        };
        for (int i = 0; i < 3; ++i) {
            layerMethods[i] = methods;
            layerMethods[i].iVersion = i + 1;
        }
        // Version 2 of the layer: SQLite 3.40 asks for nothing beyond it.
        layerVfs = sqlite3_vfs {};
        layerVfs.iVersion = 2;
        layerVfs.szOsFile = int(realOffset()) + baseVfs->szOsFile;
        layerVfs.mxPathname = baseVfs->mxPathname;
        layerVfs.zName = "tolvern-wal";
        layerVfs.xOpen = layerOpen;
        layerVfs.xDelete = layerDelete;
        layerVfs.xAccess = layerAccess;
        layerVfs.xFullPathname = layerFullPathname;
        layerVfs.xDlOpen = layerDlOpen;
        layerVfs.xDlError = layerDlError;
        layerVfs.xDlSym = layerDlSym;
        layerVfs.xDlClose = layerDlClose;
        layerVfs.xRandomness = layerRandomness;
        layerVfs.xSleep = layerSleep;
        layerVfs.xCurrentTime = layerCurrentTime;
        layerVfs.xGetLastError = layerGetLastError;
        layerVfs.xCurrentTimeInt64 = baseVfs->iVersion >= 2 && baseVfs->xCurrentTimeInt64
            ? layerCurrentTimeInt64
            : nullptr;
        installed = sqlite3_vfs_register(&layerVfs, 1) == SQLITE_OK;
    });
    return installed;
}

bool CSqliteWalVfs::bufferLog(const QSqlDatabase &database)
{
    const QVariant handle = database.driver() ? database.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return false;
    sqlite3 *db = *static_cast<sqlite3 *const *>(handle.constData());
    sqlite3_file *main = nullptr;
    sqlite3_file *log = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &main) != SQLITE_OK
        || sqlite3_file_control(db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log) != SQLITE_OK)
        return false;
    // In WAL mode the journal pointer is the log.
    if (!isLayerFile(main) || !isLayerFile(log) || !layer(log)->isLog)
        return false;
    layer(main)->log = layer(log);
    layer(log)->owner = layer(main);
    layer(log)->gather = true;
    return true;
}
