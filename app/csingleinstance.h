#ifndef CSINGLEINSTANCE_H
#define CSINGLEINSTANCE_H

#include <functional>

#include <QString>

class QObject;

// One running copy per user session: an advisory lock on a file in the runtime directory.
// The kernel drops the lock when the process ends, so a crashed copy never blocks the next.
// The running copy writes its process id into the file and listens on a local socket beside
// it, so that a second start can ask it to show its window instead of vanishing unseen.
class CSingleInstance
{
public:
    explicit CSingleInstance(const QString &name);
    ~CSingleInstance();
    CSingleInstance(const CSingleInstance &) = delete;
    CSingleInstance &operator=(const CSingleInstance &) = delete;

    // False only when another process holds the lock. A lock file that cannot be opened
    // counts as being the only copy.
    bool tryLock();
    // The lock name of a server using iniFile: base for the default ini, so an existing
    // install keeps its lock, and base with a short hash of the ini's resolved path for any
    // other, so servers with ini files of their own run side by side.
    static QString nameForIni(
        const QString &base, const QString &iniFile, const QString &defaultIniFile);
    QString lockFilePath() const { return path; }
    QString channelPath() const { return path + QStringLiteral(".sock"); }

    // In the running copy: listens on the channel while context lives and calls onShow for
    // every second start. False when the channel could not be opened.
    bool serve(QObject *context, const std::function<void()> &onShow);

    // In a second copy: the process id written by the running one, 0 when unknown.
    qint64 holderPid() const;
    // In a second copy: asks the running one to show its window, waiting at most timeoutMs
    // for the answer. True when it did.
    bool askToShow(int timeoutMs = 3000) const;
    // In a second copy: asks to show, then says on stderr what became of the start.
    void announceSecondStart() const;

private:
    QString path;
    int fd = -1;
};

#endif // CSINGLEINSTANCE_H
