#include "cservercore.h"

#include <unistd.h>

#include <utility>

#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QMetaObject>
#include <QSslSocket>
#include <QTimer>
#include <QThread>
#include <QThreadPool>

#include "cadminservice.h"
#include "chttpadmin.h"
#include "chttpapi.h"
#include "clogring.h"
#include "cmetrics.h"
#include "cposttarget.h"
#include "cs3bucket.h"
#include "cs3download.h"
#include "cs3savestore.h"
#include "cs3upload.h"
#include "csavestore.h"
#include "csavesum.h"
#include "ctransferhasher.h"
#include "cstorageworker.h"
#include "cconnguard.h"
#include "chashgate.h"
#include "cloginguard.h"
#include "cpasswordhasher.h"
#include "cserverfileconn.h"
#include "cserversettings.h"
#include "printabletext.h"
#include "ctolvernserver.h"
#include "ctlsacceptor.h"
#include "controlcodes.h"
#include "ctolvernserverconn.h"
#include "cuserdb.h"
#include "cuserdbcommitter.h"
#include "cuserfolder.h"

namespace {
// Room for thousands of clients connecting at once.
constexpr int LISTEN_BACKLOG = 1024;

// Milliseconds of the monotonic clock.
qint64 monotonicMs()
{
    return QDeadlineTimer::current().deadline();
}

CMetrics::Command commandOf(quint8 code)
{
    switch (code) {
    case libsock::CMD_ADD_USER:
        return CMetrics::AddUser;
    case libsock::CMD_LOGIN:
        return CMetrics::Login;
    default:
        return CMetrics::ChangePass;
    }
}
} // namespace

CServerCore::CServerCore(
    CServerSettings *settings, CUserDb *users, CPasswordHasher *hasher, QObject *parent)
    : QObject(parent)
    , settingsRecord(settings)
    , userDb(users)
    , connGuard(new CConnGuard(this))
    , loginGuard(new CLoginGuard(this))
    // Hashes in flight: enough to keep every hashing thread busy with one more waiting, and
    // no longer a queue than that.
    , hashGate(std::make_unique<CHashGate>(hasher->threadCount() + 1, 2 * hasher->threadCount()))
    , committer(new CUserDbCommitter(
          users, hasher, CPasswordHasher::Params::fromSettings(settings->snapshot()), this))
    , hashPool(std::make_unique<QThreadPool>())
    , storage(std::make_unique<CStorageWorker>(
          [settings] { return CAbstractSaveStore::fromSettings(settings->snapshot()); }))
    , inbox(CPostTarget::of(this))
    , tls(new CTlsAcceptor(connGuard, this))
    , counters(std::make_unique<CMetrics>())
    , logRing(std::make_unique<CLogRing>())
    , heartbeat(new QTimer(this))
{
    // The counters watch what happens; none of them decides anything.
    CMetrics *metrics = counters.get();
    committer->setBatchObserver(
        [metrics](int size, qint64 nsecs, bool ok) { metrics->batchCommitted(size, nsecs, ok); });
    metrics->setOutageSource([users] { return users->outages(); });
    connect(loginGuard, &CLoginGuard::lockStarted, this, [metrics](bool wholeAddress) {
        metrics->lockStarted(wholeAddress ? CMetrics::AddressLock : CMetrics::NameLock);
    });
    // /healthz asks whether this thread's loop still turns.
    lastBeat = monotonicMs();
    heartbeat->setInterval(1000);
    connect(heartbeat, &QTimer::timeout, this, [this] { lastBeat = monotonicMs(); });
    heartbeat->start();

    // One hashing thread keeps up with about two loopback transfers; more would take the
    // processor from the network thread.
    hashPool->setMaxThreadCount(qMax(1, QThread::idealThreadCount() / 2));
    connect(connGuard, &CConnGuard::log, this, &CServerCore::log);
    connect(tls, &CTlsAcceptor::log, this, &CServerCore::log);
    connect(loginGuard, &CLoginGuard::log, this, &CServerCore::log);
    // The control port's changes are answered only once on disk, in group commits.
    connect(committer, &CUserDbCommitter::log, this, &CServerCore::log);
    connect(committer, &CUserDbCommitter::outcomesHandedOut, &CTolvernServerConn::flushReplies);
}

CServerCore::~CServerCore()
{
    inbox->close();
    // The HTTP port first: its thread calls into the API and the work behind it. Then the
    // work already handed in, whose answers nobody waits for any more.
    delete http;
    http = nullptr;
    admin.reset();
    // First, while the connections and the log are whole: the committer commits what it was
    // handed and hands the outcomes out, so every command taken is stored and logged.
    delete committer;
    committer = nullptr;
    // A file connection gives its upload's room back when it goes: while this adapter is
    // whole and before the storage worker ends, which finishes the commits handed to it.
    const QSet<libsock::CServerFileConn *> files = std::exchange(fileConns, {});
    for (libsock::CServerFileConn *conn : files) {
        connGuard->release(conn);
        delete conn;
    }
    // Without a parent, control connections go by hand; the committer is gone, so nothing
    // calls back into them.
    const QSet<CTolvernServerConn *> controls = std::exchange(protoConns, {});
    for (CTolvernServerConn *conn : controls) {
        connGuard->release(conn);
        delete conn;
    }
}

void CServerCore::setClock(const std::function<qint64()> &clock)
{
    connGuard->setClock(clock);
    loginGuard->setClock(clock);
    tls->setClock(clock);
    hashGate->setClock(clock);
}

void CServerCore::setPortOverrides(int mainPort, int filePort)
{
    mainPortOverride = mainPort;
    filePortOverride = filePort;
}

bool CServerCore::start()
{
    const CServerSettings settings = settingsRecord->snapshot();
    const int mainPort = mainPortOverride ? mainPortOverride : settings.mainPort;
    const int filePort = filePortOverride ? filePortOverride : settings.filePort;

    connGuard->setDescriptorLimit(CConnGuard::descriptorBudget());
    connGuard->setMaxPerAddress(settings.maxConnectionsPerAddress);
    connGuard->setIdleTimeout(settings.idleTimeoutSeconds * 1000);
    loginGuard->setNameLock(settings.loginLockFailures, settings.loginLockSeconds * 1000);
    loginGuard->setAddressLock(settings.addressLockFailures, settings.addressLockSeconds * 1000);
    // Failed handshakes slow that address's further handshakes, and nothing else of it.
    tls->setHandshakeFailureLimit(settings.addressLockFailures);
    tls->setFirstByteTimeout(settings.idleTimeoutSeconds * 1000);
    QSslConfiguration identity;
    QString tlsError;
    if (!CTlsAcceptor::loadIdentity(settings.tls, identity, tlsError)) {
        // Start-up checked the files already; without them neither port may open plain.
        controlListenError = fileListenError = tlsError;
        log(tr("TLS cannot start => %1").arg(tlsError));
        return false;
    }
    tls->setIdentity(identity, settings.tls.require);
    if (tls->isEnabled())
        log(tr("TLS enabled with %1%2")
                .arg(settings.tls.certificate,
                    tls->requiresTls() ? tr("; plain connections are refused") : QString()));
    if (settings.savesInS3()) {
        // Start-up has checked the keys and the bucket already.
        CS3Config config;
        QString why;
        if (CS3Config::fromSettings(settings, &config, &why)) {
            s3 = CS3Bucket::shared(config);
            log(tr("Saves in %1 at %2").arg(config.displayText(), config.endpoint));
        } else {
            log(tr("Saves in S3 cannot start => %1").arg(why));
        }
    }
    // Outages of the user database and their end go to the same log, window or console.
    connect(userDb, &CUserDb::log, this, &CServerCore::log, Qt::UniqueConnection);

    // Only the low 16 bits of a port setting count. The listeners are IPv4 only, so peers
    // show in dotted decimal.
    protoServer = new CTolvernServer(this);
    protoServer->setObjectName(QStringLiteral("protoServer"));
    protoServer->setListenBacklogSize(LISTEN_BACKLOG);
    connect(
        protoServer, &CTolvernServer::clientConnected, this, &CServerCore::protoClientConnected);
    connect(protoServer, &CTolvernServer::acceptFailed, this, [this](const QString &reason) {
        connGuard->reportAcceptError(tr("Main control server"), reason);
    });
    if (protoServer->listen(QHostAddress::AnyIPv4, static_cast<quint16>(mainPort))) {
        controlPortNumber = protoServer->serverPort();
        log(tr("Main control server listen succeed"));
    } else {
        controlListenError = protoServer->errorString();
        log(tr("Main control server listen failed => %1").arg(protoServer->errorString()));
    }

    fileServer = new CTolvernServer(this);
    fileServer->setObjectName(QStringLiteral("fileServer"));
    fileServer->setListenBacklogSize(LISTEN_BACKLOG);
    connect(fileServer, &CTolvernServer::clientConnected, this, &CServerCore::fileClientConnected);
    connect(fileServer, &CTolvernServer::acceptFailed, this, [this](const QString &reason) {
        connGuard->reportAcceptError(tr("File transfer server"), reason);
    });
    if (fileServer->listen(QHostAddress::AnyIPv4, static_cast<quint16>(filePort))) {
        filePortNumber = fileServer->serverPort();
        log(tr("File transfer server listen succeed"));
    } else {
        fileListenError = fileServer->errorString();
        log(tr("File transfer server listen  failed => %1").arg(fileServer->errorString()));
    }

    if (settings.httpPort > 0)
        startHttp(settings);
    return controlListening() && fileListening();
}

void CServerCore::startHttp(const CServerSettings &settings)
{
    admin = std::make_unique<CAdminService>(
        this, settingsRecord, userDb, counters.get(), logRing.get());
    connect(admin.get(), &CAdminService::logLine, this, &CServerCore::log);
    httpApi = std::make_unique<CHttpApi>(admin.get());
    httpApi->setTokenHash(settings.tokenHash);
    QByteArray certificate;
    QByteArray key;
    if (settings.tls.isEnabled()) {
        // start() has loaded the pair already; it is read again only for the HTTP library.
        QFile certificateFile(settings.tls.certificate);
        QFile keyFile(settings.tls.privateKey);
        if (certificateFile.open(QIODevice::ReadOnly) && keyFile.open(QIODevice::ReadOnly)) {
            certificate = certificateFile.readAll();
            key = keyFile.readAll();
        }
    }
    http = new CHttpAdmin(httpApi.get(), logRing.get(), this);
    QString error;
    if (!http->start(settings.httpAddress, quint16(settings.httpPort), certificate, key, &error)) {
        log(tr("HTTP admin server listen failed => %1").arg(error));
        delete http;
        http = nullptr;
        return;
    }
    httpPortNumber = http->port();
    log(tr("HTTP admin server listen succeed on %1:%2%3")
            .arg(settings.httpAddress)
            .arg(http->port())
            .arg(certificate.isEmpty() ? QString() : tr(" (HTTPS)")));
    if (settings.tokenHash.isEmpty())
        log(tr("HTTP admin API has no token yet: make one with \"tolvern-server admin token\""));
}

qint64 CServerCore::msecsSinceLoopTurned() const
{
    return monotonicMs() - lastBeat;
}

qint64 CServerCore::uptimeMsecs() const
{
    static const qint64 startedAt = monotonicMs();
    return monotonicMs() - startedAt;
}

// Recorded by start(): the listeners themselves belong to the core's thread.
bool CServerCore::controlListening() const
{
    return controlPortNumber != 0;
}

bool CServerCore::fileListening() const
{
    return filePortNumber != 0;
}

QString CServerCore::controlError() const
{
    return controlListenError;
}

QString CServerCore::fileError() const
{
    return fileListenError;
}

quint16 CServerCore::controlPort() const
{
    return controlPortNumber;
}

quint16 CServerCore::filePort() const
{
    return filePortNumber;
}

QList<QObject *> CServerCore::connectionObjects() const
{
    QList<QObject *> all;
    for (CTolvernServerConn *conn : protoConns)
        all.append(conn);
    for (libsock::CServerFileConn *conn : fileConns)
        all.append(conn);
    return all;
}

int CServerCore::connectionCount() const
{
    return connGuard->connectionCount();
}

void CServerCore::setTlsHandshakeTimeout(int msec)
{
    tls->setHandshakeTimeout(msec);
}

void CServerCore::reloadTls()
{
    const QString ini = settingsRecord->snapshot().iniFilePath();
    tls->reload(ini);
    if (httpApi) {
        httpApi->setTokenHash(CServerSettings::readTokenHash(ini));
        log(tr("HTTP admin token taken from %1").arg(ini));
    }
}

bool CServerCore::adopt(QAbstractSocket *conn, int stockfd, bool encrypted, int descriptors)
{
    QHostAddress peer;
    if (!connGuard->admit(stockfd, peer, descriptors)) {
        delete conn;
        return false;
    }
    if (!conn->setSocketDescriptor(
            stockfd, QAbstractSocket::ConnectedState, QIODevice::ReadWrite)) {
        // It would never signal disconnected(): neither object nor descriptor would go.
        ::close(stockfd);
        delete conn;
        return false;
    }
    connGuard->track(conn, peer, descriptors);
    // Before the event loop runs again: the socket must not read the ClientHello as plain.
    if (encrypted)
        tls->startHandshake(qobject_cast<QSslSocket *>(conn), peer);
    return true;
}

void CServerCore::forget(QAbstractSocket *conn)
{
    connGuard->release(conn);
    // Its descriptor is closed by now: a listener out of them may take the next client.
    protoServer->descriptorFreed();
    fileServer->descriptorFreed();
}

void CServerCore::protoClientConnected(int stockfd)
{
    tls->route(stockfd, CConnGuard::CONTROL_DESCRIPTORS,
        [this](int fd, bool encrypted) { serveControl(fd, encrypted); });
}

// Connections have no parent and every signal reaches a slot that knows its connection: a
// child is taken out of its parent's list by a search, and sender() walks every connection to
// the receiver, so both would cost each event in proportion to the connections open.
void CServerCore::serveControl(int stockfd, bool encrypted)
{
    auto *conn = new CTolvernServerConn(committer, loginGuard, nullptr, hashGate.get());
    if (!adopt(conn, stockfd, encrypted, CConnGuard::CONTROL_DESCRIPTORS))
        return;
    const QString address = conn->clientAddress().toString();
    connect(conn, &CTolvernServerConn::disconnected, this, [this, conn] {
        // The descriptor is closed: its place is free, though the connection may still be
        // owed outcomes to log.
        counters->connectionClosed(CMetrics::ControlPort);
        forget(conn);
    });
    connect(conn, &CTolvernServerConn::finished, this, [this, conn, address] {
        protoConns.remove(conn);
        conn->deleteLater();
        logFrom(tr("Control client disconnected from %1").arg(address), address);
    });
    // A command's line names the user, not the client: the address goes beside it.
    connect(conn, &CTolvernServerConn::log, this,
        [this, address](const QString &msg) { logFrom(msg, address); });
    connect(conn, &CTolvernServerConn::answered, this,
        [metrics = counters.get()](quint8 command, quint8 result) {
            metrics->commandAnswered(commandOf(command), result);
        });
    counters->connectionOpened(CMetrics::ControlPort);
    protoConns.insert(conn);
    logFrom(tr("Control client connected from %1").arg(address), address);
}

void CServerCore::fileClientConnected(int stockfd)
{
    tls->route(stockfd, CConnGuard::FILE_DESCRIPTORS,
        [this](int fd, bool encrypted) { serveFile(fd, encrypted); });
}

void CServerCore::serveFile(int stockfd, bool encrypted)
{
    auto *conn = new libsock::CServerFileConn(settingsRecord->snapshot().saveDataDir, nullptr);
    if (!adopt(conn, stockfd, encrypted, CConnGuard::FILE_DESCRIPTORS))
        return;
    conn->setAdapter(this);
    const QString address = conn->peerAddress().toString();
    connect(conn, &libsock::CServerFileConn::disconnected, this, [this, conn, address] {
        fileConns.remove(conn);
        counters->connectionClosed(CMetrics::FilePort);
        forget(conn);
        conn->deleteLater();
        logFrom(tr("File client disconnected from %1").arg(address), address);
    });
    watchDownloads(conn);
    counters->connectionOpened(CMetrics::FilePort);
    fileConns.insert(conn);
    logFrom(tr("File client connected from %1").arg(address), address);
}

void CServerCore::watchDownloads(libsock::CServerFileConn *conn)
{
    // A download is whole when every byte of the archive went out before it ended.
    struct Progress
    {
        qint64 total = -1;
        qint64 done = 0;
    };
    auto progress = std::make_shared<Progress>();
    CMetrics *metrics = counters.get();
    connect(conn, &libsock::CAbstractFileConn::workBegin, this, [progress](qint64 total) {
        progress->total = total;
        progress->done = 0;
    });
    connect(conn, &libsock::CAbstractFileConn::working, this,
        [progress](qint64, qint64 done) { progress->done = done; });
    connect(conn, &libsock::CAbstractFileConn::workFinal, this, [progress, metrics] {
        if (progress->total < 0)
            return;
        metrics->transferEnded(CMetrics::Download,
            progress->done >= progress->total ? CMetrics::TransferOk : CMetrics::TransferFailed,
            progress->done);
        progress->total = -1;
    });
}

void CServerCore::log(QString msg)
{
    logFrom(msg, QString());
}

void CServerCore::logFrom(const QString &msg, const QString &clientAddress)
{
    logRing->append(msg);
    emit lineLogged(msg);
    emit lineLoggedFrom(msg, clientAddress);
}

bool CServerCore::requestTransfer(const QString &user, const QString &detail)
{
    Q_UNUSED(detail);
    log(tr("%1 request transfer savedat").arg(printableText(user)));
    return true;
}

QString CServerCore::downloadFileName(const QString &saveName)
{
    // The connection refuses such a name; the log says so instead of naming a download.
    if (!libsock::CServerFileConn::isSafeName(saveName)) {
        log(tr("Transfer refused: unsafe save name %1").arg(printableText(saveName)));
        return QString();
    }
    log(tr("Download %1.z").arg(printableText(saveName)));
    // Versions are reached only through a restore; an empty name refuses the request.
    if (CSaveStore::isHistoryName(saveName)) {
        log(tr("Download %1.z refused: inside a save history folder").arg(printableText(saveName)));
        return QString();
    }
    return CSaveStore::archiveName(saveName);
}

QString CServerCore::uploadFileName(const QString &saveName)
{
    if (!libsock::CServerFileConn::isSafeName(saveName)) {
        log(tr("Transfer refused: unsafe save name %1").arg(printableText(saveName)));
        counters->uploadRefused(CMetrics::UnsafeName);
        return QString();
    }
    log(tr("Upload %1.z").arg(printableText(saveName)));
    if (CSaveStore::isHistoryName(saveName)) {
        log(tr("Upload %1.z refused: inside a save history folder").arg(printableText(saveName)));
        counters->uploadRefused(CMetrics::HistoryName);
        return QString();
    }
    return CSaveStore::archiveName(saveName);
}

void CServerCore::requestUploadRoom(quint64 upload, const QString &fileName, qint64 written,
    qint64 needed, qint64 wanted, const RoomAnswer &answer)
{
    storage->requestRoom(upload, fileName, written, needed, wanted,
        [this, upload, written, fileName, answer](
            qint64 granted, const CSaveStore::Outcome &outcome) {
            QMetaObject::invokeMethod(
                this,
                [this, upload, written, fileName, answer, granted, message = outcome.message] {
                    UploadTrack &track = uploads[upload];
                    track.bytes = written;
                    if (granted < 0) {
                        log(tr("Upload %1 refused: %2").arg(printableText(fileName), message));
                        counters->uploadRefused(CMetrics::reasonOf(message));
                        track.result = CMetrics::TransferRefused;
                    }
                    answer(granted);
                },
                Qt::QueuedConnection);
        });
}

bool CServerCore::keepsSaves() const
{
    return s3 != nullptr;
}

void CServerCore::openDownload(const QString &fileName, const DownloadAnswer &answer)
{
    CS3Client::Request request;
    request.method = "HEAD";
    request.key = s3->key(fileName);
    s3->client().send(
        request, [this, target = inbox, fileName, answer](const CS3Client::Response &response) {
            const CS3Bucket::Head head = CS3Bucket::headOf(response);
            target->post([this, fileName, answer, response, head] {
                if (response.status == 404) {
                    answer(libsock::FILE_NOT_FOUND, nullptr, nullptr, QString());
                    return;
                }
                if (!response.ok()) {
                    log(tr("Download %1 failed: the S3 store answered %2")
                            .arg(printableText(fileName), response.errorText()));
                    answer(libsock::FILE_OPEN_FAILED, nullptr, nullptr, QString());
                    return;
                }
                auto *source = new CS3Download(s3, s3->key(fileName), head);
                connect(source, &CS3Download::failed, this, [this, fileName](const QString &why) {
                    log(tr("Download %1 ended with a reset: the S3 store failed (%2)")
                            .arg(printableText(fileName), why));
                });
                s3Downloads.append(source);
                connect(source, &QObject::destroyed, this,
                    [this, source] { s3Downloads.removeOne(source); });
                source->open(QIODevice::ReadOnly);
                // Kept before sums (or put there by hand): sent unchecked.
                std::shared_ptr<libsock::CTransferDigest> digest;
                if (!head.sum.isEmpty())
                    digest = std::make_shared<CTransferHasher>(
                    hashPool.get(), CSaveSum::kindOf(head.sum));
                answer(libsock::FILE_OK, source, digest, head.sum);
            });
        });
}

std::shared_ptr<libsock::CUploadSink> CServerCore::openUpload(
    quint64 upload, const QString &fileName)
{
    Q_UNUSED(upload);
    // An object's key can hold them, an XML request that names it cannot.
    for (const QChar c : fileName) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            log(tr("Upload %1 refused: control characters in the name")
                    .arg(printableText(fileName)));
            return nullptr;
        }
    }
    const CS3SaveStore store(s3, {});
    auto sink = std::make_shared<CS3Upload>(s3, store.stagingKey(fileName));
    UploadTrack &track = uploads[upload];
    track.sink = sink;
    track.fileName = fileName;
    return sink;
}

void CServerCore::commitUpload(quint64 upload, const QString &fileName, qint64 size,
    const std::shared_ptr<libsock::CUploadSink> &sink, const CommitAnswer &answer)
{
    storage->commitUpload(upload, fileName, size, sink,
        [this, upload, size, fileName, answer](const CSaveStore::Outcome &outcome) {
            QMetaObject::invokeMethod(
                this,
                [this, upload, size, fileName, answer, outcome] {
                    UploadTrack &track = uploads[upload];
                    track.bytes = size;
                    track.result = outcome.ok()                         ? CMetrics::TransferOk
                        : outcome.status == CSaveStore::Status::Refused ? CMetrics::TransferRefused
                                                                        : CMetrics::TransferFailed;
                    if (outcome.status == CSaveStore::Status::Refused)
                        counters->uploadRefused(CMetrics::reasonOf(outcome.message));
                    if (outcome.status == CSaveStore::Status::Refused)
                        log(tr("Upload %1 refused: %2")
                                .arg(printableText(fileName), outcome.message));
                    else if (!outcome.ok())
                        log(tr("Upload %1 failed: %2")
                                .arg(printableText(fileName), outcome.message));
                    else if (outcome.givenUp > 0)
                        log(tr("Upload %1 stored; %n old version(s) given up for room", nullptr,
                            outcome.givenUp)
                                .arg(printableText(fileName)));
                    answer(outcome.ok());
                },
                Qt::QueuedConnection);
        });
}

void CServerCore::startWriteBack(quint64 upload, const std::function<void()> &start)
{
    Q_UNUSED(upload);
    storage->writeBack(start);
}

void CServerCore::uploadEnded(quint64 upload)
{
    storage->endUpload(upload);
    // Ended without an outcome: cut short (the client went, a write failed).
    const UploadTrack track = uploads.take(upload);
    const std::shared_ptr<CS3Upload> sink = track.sink.lock();
    if (track.result < 0 && sink && !sink->errorText().isEmpty())
        log(tr("Upload %1 failed: the S3 store failed (%2)")
                .arg(printableText(track.fileName), sink->errorText()));
    counters->transferEnded(CMetrics::Upload,
        track.result < 0 ? CMetrics::TransferFailed : CMetrics::TransferResult(track.result),
        track.bytes);
}

bool CServerCore::permitTransfer(
    const QHostAddress &peer, const QString &user, const QString &saveName)
{
    // Read at each request, so the settings dialog's box takes effect at once.
    const CServerSettings settings = settingsRecord->snapshot();
    if (!settings.transferRequiresLogin)
        return true;
    const int minutes = settings.transferLoginWindowMinutes;
    loginGuard->setLoginMemory(minutes > 0 ? qint64(minutes) * 60000 : -1);
    const int objectId = loginGuard->recentLogin(peer, user);
    if (objectId == 0) {
        log(tr("Transfer of %1 for %2 from %3 refused: no login of this user from this address")
                .arg(printableText(saveName), printableText(user), peer.toString()));
        return false;
    }
    const QString folder = CUserFolder::name(objectId);
    if (!saveName.startsWith(folder + QLatin1Char('/'))) {
        log(tr("Transfer of %1 for %2 from %3 refused: not in the user's folder %4")
                .arg(printableText(saveName), printableText(user), peer.toString(), folder));
        return false;
    }
    return true;
}

std::shared_ptr<libsock::CTransferDigest> CServerCore::uploadDigest(
    quint64 upload, const QString &fileName)
{
    Q_UNUSED(upload);
    Q_UNUSED(fileName);
    return std::make_shared<CTransferHasher>(hashPool.get());
}

std::shared_ptr<libsock::CTransferDigest> CServerCore::downloadDigest(
    const QString &fileName, QString *expected)
{
    // A read of a few bytes beside the archive just opened: no slower than that open.
    *expected
        = CSaveSum::read(settingsRecord->snapshot().saveDataDir + QLatin1Char('/') + fileName);
    if (expected->isEmpty())
        return nullptr; // kept before sums: sent unchecked
    return std::make_shared<CTransferHasher>(hashPool.get(), CSaveSum::kindOf(*expected));
}

bool CServerCore::acceptMismatch(const QString &user, const QString &fileName, quint64 device,
    quint64 inode, const QString &actual)
{
    // Rare: an upload replaced the archive while it was read, or the sum beside it is not its
    // own after a crash; the file read still has its own sum (or none) in the history. An
    // object keeps its sum in its metadata and was read whole (If-Match): no such case.
    QString recorded;
    if (s3) {
        for (const CS3Download *download : std::as_const(s3Downloads)) {
            if (download->objectKey() == s3->key(fileName))
                recorded = download->expectedSum();
        }
        recorded = recorded.isEmpty() ? QStringLiteral("?") : recorded;
    } else {
        const CSaveStore store(settingsRecord->snapshot().saveDataDir);
        recorded = store.recordedSum(fileName, device, inode);
    }
    if (recorded.isEmpty() || recorded == actual)
        return true;
    log(tr("Download %1 for %2 ended with a reset: the archive is damaged (%3 %4, "
           "recorded %5)")
            .arg(printableText(fileName), printableText(user), CSaveSum::kindName(recorded), actual,
                recorded));
    return false;
}
