#ifndef EXITCODES_H
#define EXITCODES_H

// Every exit status of tolvern-server: the window, headless mode and the admin commands share
// one table, so a script or systemd (RestartPreventExitStatus) reads one meaning per number.
// The README's "Exit status" table lists them; change both together.
namespace exitcode {
constexpr int OK = 0;
// The server could not start (a port, the storage folder, the database file), or an admin
// command's database statement or restore failed, or saves verify found a damaged archive.
constexpr int FAILED = 1;
// Bad arguments or values: an unknown option, a bad port, path or --database URL, an empty
// name or password, S3 keys the store refuses or a bucket it does not have. Starting again
// changes nothing.
constexpr int BAD_ARGUMENTS = 2;
constexpr int NAME_TAKEN = 3;
constexpr int NO_USER = 4;
constexpr int NO_STORAGE = 5;
// db copy: the target already holds users; nothing was copied. backup, restore: the target
// folder (or ini) is not empty; nothing was written.
constexpr int TARGET_NOT_EMPTY = 6;
// The database server or the S3 store could not be reached at start; it may be back soon.
constexpr int DATABASE_UNREACHABLE = 7;
// restore, backup verify: the backup has no readable manifest or does not match it; nothing
// was restored.
constexpr int BACKUP_DAMAGED = 8;
constexpr int USAGE = 64;
} // namespace exitcode

#endif // EXITCODES_H
