#ifndef CSTARTUPTIDY_H
#define CSTARTUPTIDY_H

#include <functional>
#include <memory>

#include <QString>

class CAbstractSaveStore;
class QThread;

// What a server or command that ended abruptly may have left, tidied once at start on a
// thread of its own while the server already serves: the saves of users a purge cut short
// had deleted (named in the log one by one), and the temporary files of uploads cut short
// (counted in one line), in the storage folder or the bucket. Uploads in flight, here or on
// another server sharing the store, are left alone.
class CStartupTidy
{
public:
    // log is called on the tidy's thread.
    using Log = std::function<void(const QString &line)>;

    // store: the server's save store; null: nothing to tidy.
    CStartupTidy(std::shared_ptr<CAbstractSaveStore> store, const Log &log);
    // Waits for the work.
    ~CStartupTidy();
    CStartupTidy(const CStartupTidy &) = delete;
    CStartupTidy &operator=(const CStartupTidy &) = delete;

    void start();

    // The line that counts the files removed; empty when there were none.
    static QString cutUploadsLine(int removed);

private:
    void run();

    std::shared_ptr<CAbstractSaveStore> storage;
    Log logLine;
    QThread *thread = nullptr;
};

#endif // CSTARTUPTIDY_H
