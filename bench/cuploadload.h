#ifndef CUPLOADLOAD_H
#define CUPLOADLOAD_H

#include <atomic>
#include <memory>
#include <vector>

#include <QString>

class QThread;

// Clients that upload a file to the file port, each a tolvern-client process of its own and
// several uploads in a row, as players' games would: the benchmark's process only watches
// them, so what it measures meanwhile is what another client sees.
class CUploadLoad
{
public:
    // client: the tolvern-client executable.
    CUploadLoad(const QString &client, quint16 filePort, const QString &source);
    ~CUploadLoad();
    CUploadLoad(const CUploadLoad &) = delete;
    CUploadLoad &operator=(const CUploadLoad &) = delete;

    // Starts clients, each uploading the source uploadsEach times in a row to its own save
    // ("<prefix><client>").
    void start(int clients, int uploadsEach, const QString &prefix);
    // Whether an upload is still on its way.
    bool running() const { return ended < started; }
    // Waits for the ends; true when every upload was stored.
    bool finish();
    QString errorText() const { return error; }

private:
    QString clientPath;
    quint16 port = 0;
    QString sourcePath;
    std::vector<std::unique_ptr<QThread>> threads;
    int started = 0;
    int expected = 0;
    std::atomic<int> ended { 0 };
    std::atomic<int> stored { 0 };
    QString error;
};

#endif // CUPLOADLOAD_H
