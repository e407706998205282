#ifndef CCONNECTIONFIGURES_H
#define CCONNECTIONFIGURES_H

#include <functional>
#include <vector>

#include <QString>

class CBenchRunner;

// Figures 4 and 8: one client's logins while a download stalls, uploads run or a purge
// deletes, next to the same logins on a quiet server.
class CConnectionFigures
{
public:
    explicit CConnectionFigures(CBenchRunner &runner);

    bool measureIsolation();
    // Figure 8: one client's logins while a load runs, next to the same logins idle.
    bool measureLoadedLogins();

private:
    // Users that never logged in, for figure 8's purge.
    static constexpr int PURGED_USERS = 20000;
    // Each of figure 8's two uploading clients: this many saves of this size, one after the
    // other.
    static constexpr int LOAD_UPLOADS = 8;
    static constexpr qint64 LOAD_UPLOAD_MIB = 64;

    int openStalledDownload(const QString &saveName);
    bool addPurgeVictims();
    // Login round trips for as long as loaded() holds, sorted.
    bool loginsWhile(const std::function<bool()> &loaded, std::vector<qint64> &nanoseconds);
    bool loadedLoginRow(
        const QString &load, const std::vector<qint64> &idle, const std::vector<qint64> &loaded);

private:
    CBenchRunner &bench;
};

#endif // CCONNECTIONFIGURES_H
