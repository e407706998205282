#ifndef CSERVERCORE_H
#define CSERVERCORE_H

#include <atomic>
#include <functional>
#include <memory>

#include <QHash>
#include <QList>
#include <QSet>
#include <QObject>
#include <QString>

#include "cabstractserverfileconnadapter.h"

class QAbstractSocket;
class QHostAddress;
class QTimer;
class CAdminService;
class QThreadPool;
class CConnGuard;
class CHashGate;
class CHttpAdmin;
class CHttpApi;
class CLogRing;
class CMetrics;
class CLoginGuard;
class CPostTarget;
class CS3Bucket;
class CStorageWorker;
class CTlsAcceptor;
class CTolvernServer;
class CTolvernServerConn;
class CPasswordHasher;
class CServerSettings;
class CUserDb;
class CUserDbCommitter;
namespace libsock {
class CServerFileConn;
}

// The network services without any widget: listens on both ports, turns accepted sockets
// into connections, maps save names to archive files and is the one sink of log lines. A
// window or a console attaches to lineLogged() to show them. Runs on whichever thread it
// lives on (a window gives it one of its own, CServerThread); it reads the settings record
// only through CServerSettings::snapshot().
class CServerCore : public QObject, public libsock::CAbstractServerFileConnAdapter
{
    Q_OBJECT

public:
    // settings: the record read at each use, so a change (SIGHUP, the dialog) applies at once.
    CServerCore(CServerSettings *settings, CUserDb *userDb, CPasswordHasher *hasher,
        QObject *parent = nullptr);
    ~CServerCore() override;

    // What it was made with, for the window's pages: any thread.
    CServerSettings *settings() const { return settingsRecord; }
    CUserDb *users() const { return userDb; }

    // Ports for this run instead of the settings' ones; 0 keeps the setting.
    void setPortOverrides(int mainPort, int filePort);

    // The guards' clock in milliseconds instead of a monotonic one; before start(). Tests
    // advance one by hand rather than wait for locks and idle times to run out.
    void setClock(const std::function<qint64()> &clock);

    // Listens on both ports, logging the outcome of each. False when either failed.
    bool start();
    // The outcome of start(); any thread may ask once it has returned.
    bool controlListening() const;
    bool fileListening() const;
    QString controlError() const;
    QString fileError() const;
    quint16 controlPort() const;
    quint16 filePort() const;
    // The thread that does the file port's storage work; tests give it a small volume.
    CStorageWorker *storageWorker() const { return storage.get(); }
    // How long a TLS handshake may take; tests shorten it.
    void setTlsHandshakeTimeout(int msec);
    CTlsAcceptor *tlsAcceptor() const { return tls; }
    // The operators' HTTP port, when [Admin] HttpPort opened one (0 otherwise).
    quint16 httpPort() const { return httpPortNumber; }
    CHttpAdmin *httpAdmin() const { return http; }
    // Any thread: how long ago the core's event loop last turned, and how long it has run.
    qint64 msecsSinceLoopTurned() const;
    qint64 uptimeMsecs() const;
    CMetrics *metrics() const { return counters.get(); }
    // What lets the control port's requests in to the password hashes.
    CHashGate *hashAdmission() const { return hashGate.get(); }
    // Connections of both ports counted against the caps, and descriptors held for the first
    // byte.
    int connectionCount() const;
    // The control connections open or still owed outcomes, and every connection object not
    // yet let go of (for tests).
    QList<CTolvernServerConn *> controlConnections() const { return protoConns.values(); }
    QList<QObject *> connectionObjects() const;

    bool requestTransfer(const QString &user, const QString &detail) override;
    QString downloadFileName(const QString &saveName) override;
    QString uploadFileName(const QString &saveName) override;
    // Uploads' limits and commits go to the storage worker; the answers come back on this
    // object's thread.
    void requestUploadRoom(quint64 upload, const QString &fileName, qint64 written, qint64 needed,
        qint64 wanted, const RoomAnswer &answer) override;
    void commitUpload(quint64 upload, const QString &fileName, qint64 size,
        const std::shared_ptr<libsock::CUploadSink> &sink, const CommitAnswer &answer) override;
    // With [Storage] Backend=s3 the saves are objects of a bucket: opened here, each request
    // on the store client's thread.
    bool keepsSaves() const override;
    void openDownload(const QString &fileName, const DownloadAnswer &answer) override;
    std::shared_ptr<libsock::CUploadSink> openUpload(
        quint64 upload, const QString &fileName) override;
    void startWriteBack(quint64 upload, const std::function<void()> &start) override;
    void uploadEnded(quint64 upload) override;
    bool permitTransfer(
        const QHostAddress &peer, const QString &user, const QString &saveName) override;
    // Transfers are hashed on a pool of their own; the sums live beside the archives.
    std::shared_ptr<libsock::CTransferDigest> uploadDigest(
        quint64 upload, const QString &fileName) override;
    std::shared_ptr<libsock::CTransferDigest> downloadDigest(
        const QString &fileName, QString *expected) override;
    bool acceptMismatch(const QString &user, const QString &fileName, quint64 device, quint64 inode,
        const QString &actual) override;

public slots:
    void log(QString msg);
    // Reads [Tls] of the ini again, off this thread, for connections accepted from then on,
    // and [Admin] TokenHash for the HTTP port's next requests.
    void reloadTls();

signals:
    void lineLogged(QString msg);
    // The same line with the address of the client it is about (empty when none is known),
    // for sinks that keep it apart from the text, such as the journal.
    void lineLoggedFrom(QString msg, QString clientAddress);

private slots:
    void protoClientConnected(int stockfd);
    void fileClientConnected(int stockfd);

private:
    // True when the descriptor was admitted and adopted by conn; otherwise it is closed.
    // tls: the connection starts the server's side of a TLS handshake. descriptors: what the
    // connection may hold open, counted against the open-files limit.
    bool adopt(QAbstractSocket *conn, int stockfd, bool tls, int descriptors);
    void serveControl(int stockfd, bool tls);
    void serveFile(int stockfd, bool tls);
    void forget(QAbstractSocket *conn);
    void logFrom(const QString &msg, const QString &clientAddress);
    void startHttp(const class CServerSettings &settings);
    void watchDownloads(libsock::CServerFileConn *conn);

    CServerSettings *const settingsRecord;
    CUserDb *const userDb;
    CTolvernServer *protoServer = nullptr;
    CTolvernServer *fileServer = nullptr;
    QSet<libsock::CServerFileConn *> fileConns;
    QSet<CTolvernServerConn *> protoConns;
    CConnGuard *connGuard = nullptr;
    CLoginGuard *loginGuard = nullptr;
    std::unique_ptr<CHashGate> hashGate;
    CUserDbCommitter *committer = nullptr;
    // Before the storage worker, so it goes after it: a commit still running waits for its
    // digest.
    std::unique_ptr<QThreadPool> hashPool;
    // The bucket of the saves (none: files), before the storage worker and whatever else may
    // hold it, so that it goes last.
    std::shared_ptr<CS3Bucket> s3;
    std::unique_ptr<CStorageWorker> storage;
    // Answers from the store client's thread reach this object through it while it lives.
    std::shared_ptr<CPostTarget> inbox;
    CTlsAcceptor *tls = nullptr;
    int mainPortOverride = 0;
    int filePortOverride = 0;
    std::atomic<quint16> controlPortNumber { 0 };
    std::atomic<quint16> filePortNumber { 0 };
    QString controlListenError;
    QString fileListenError;

    // Counters and the log's latest lines exist in every mode; the HTTP port only with
    // [Admin] HttpPort. Declared before what feeds them, so they go last.
    std::unique_ptr<CMetrics> counters;
    std::unique_ptr<CLogRing> logRing;
    std::unique_ptr<CAdminService> admin;
    std::unique_ptr<CHttpApi> httpApi;
    CHttpAdmin *http = nullptr;
    QTimer *heartbeat = nullptr;
    std::atomic<qint64> lastBeat { 0 };
    std::atomic<quint16> httpPortNumber { 0 };
    // Uploads in flight: the bytes known so far and the outcome, once there is one.
    struct UploadTrack
    {
        qint64 bytes = 0;
        int result = -1; // a CMetrics::TransferResult
        // An upload to the S3 store: why it failed, should it end so.
        std::weak_ptr<class CS3Upload> sink;
        QString fileName;
    };
    QHash<quint64, UploadTrack> uploads;
    // Downloads from the S3 store under way: their sums, for the line of a damaged one.
    QList<const class CS3Download *> s3Downloads;
};

#endif // CSERVERCORE_H
