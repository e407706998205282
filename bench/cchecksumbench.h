#ifndef CCHECKSUMBENCH_H
#define CCHECKSUMBENCH_H

#include <atomic>
#include <functional>
#include <memory>

#include <QString>
#include <QThread>
#include <QThreadPool>

#include "cabstractserverfileconnadapter.h"

class QObject;

// Figure 11: what keeping and checking save checksums costs figure 2's transfers. A file port
// of the server's own classes (CServerFileConn, CTransferHasher, CSaveSum) runs on a thread of
// its own in this process, and CFileClient moves a save across it in turns with and without
// the sum, so both are measured in the same run under the same load:
// - download: the archive with its sum beside it, against the same archive without one (the
//   path of archives kept before sums, which the server sends unchecked);
// - upload: the upload hashed as it arrives and its sum kept, against the same upload with no
//   digest. The server itself has no switch to upload without hashing, hence the file port in
//   this process, with this object as its adapter as the server's core is.
// Beside them a note gives the rate of hashing the same bytes alone (the current kind of sum,
// XXH3-128): hashing in line would cost at least the transfer time divided by that rate.
class CChecksumBench : public libsock::CAbstractServerFileConnAdapter
{
public:
    using RowSink = std::function<void(const QString &figure, const QString &measured,
        const QString &yardstick, const QString &ratio, const QString &target, bool met)>;

    CChecksumBench(qint64 sizeMiB, int repeats, const QString &baseDir);
    ~CChecksumBench();

    // Measures and hands each row to sink; false when a transfer failed.
    bool run(const RowSink &sink);

    std::shared_ptr<libsock::CTransferDigest> uploadDigest(
        quint64 upload, const QString &fileName) override;
    std::shared_ptr<libsock::CTransferDigest> downloadDigest(
        const QString &fileName, QString *expected) override;

private:
    bool startPort();
    void stopPort();
    bool download(double &seconds);
    bool upload(double &seconds);
    double hashRate() const;
    void row(const RowSink &sink, const QString &what, const QString &yardstickName, double seconds,
        double yardstickSeconds) const;

    qint64 size = 0;
    int repeats = 1;
    QString root; // the port's storage folder, ends in "/"
    QString source; // the save's bytes
    std::atomic<bool> hashUploads { true };
    QThreadPool pool;
    QThread portThread;
    QObject *portContext = nullptr;
    quint16 port = 0;
};

#endif // CCHECKSUMBENCH_H
