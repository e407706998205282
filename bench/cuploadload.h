#ifndef CUPLOADLOAD_H
#define CUPLOADLOAD_H

#include <atomic>
#include <memory>
#include <vector>

#include <QString>

class QThread;

// Clients that each upload one file to the file port, at the same time, each on a thread of
// its own, so that the thread that starts them is free to measure something else meanwhile.
class CUploadLoad
{
public:
    CUploadLoad(quint16 filePort, const QString &source);
    ~CUploadLoad();
    CUploadLoad(const CUploadLoad &) = delete;
    CUploadLoad &operator=(const CUploadLoad &) = delete;

    // Starts count uploads of the source, to the saves "<prefix>1" and on.
    void start(int count, const QString &prefix);
    // Whether an upload is still on its way.
    bool running() const { return ended < started; }
    // Waits for the ends; true when every upload was stored.
    bool finish();
    QString errorText() const { return error; }

private:
    quint16 port = 0;
    QString sourcePath;
    std::vector<std::unique_ptr<QThread>> threads;
    int started = 0;
    std::atomic<int> ended { 0 };
    std::atomic<int> stored { 0 };
    QString error;
};

#endif // CUPLOADLOAD_H
