#ifndef CSTARTUPTIDY_H
#define CSTARTUPTIDY_H

#include <functional>

#include <QString>

class QThread;

// What a server or command that ended abruptly may have left, tidied once at start on a
// thread of its own while the server already serves: the folders of users a purge cut short
// had deleted (named in the log one by one), and the temporary files of uploads cut short
// (counted in one line). Uploads in flight, here or on another server sharing the storage
// folder, are left alone.
class CStartupTidy
{
public:
    // log is called on the tidy's thread.
    using Log = std::function<void(const QString &line)>;

    CStartupTidy(const QString &storageDir, const Log &log);
    // Waits for the work.
    ~CStartupTidy();
    CStartupTidy(const CStartupTidy &) = delete;
    CStartupTidy &operator=(const CStartupTidy &) = delete;

    void start();

    // The line that counts the files removed; empty when there were none.
    static QString cutUploadsLine(int removed);

private:
    void run();

    QString storage;
    Log logLine;
    QThread *thread = nullptr;
};

#endif // CSTARTUPTIDY_H
