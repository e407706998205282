#include "cserverprocess.h"

#include <csignal>

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include "cportreservation.h"
#include "testini.h"

CServerProcess::CServerProcess(const QString &executable, const QString &baseDir)
    : dir(std::make_unique<QTemporaryDir>((baseDir.isEmpty() ? QDir::tempPath() : baseDir)
        + QStringLiteral("/tolvern-server-XXXXXX")))
{
    if (!dir->isValid()) {
        lastError = QStringLiteral("cannot create a temporary folder: %1").arg(dir->errorString());
        return;
    }
    for (const char *sub : { "bin", "work", "storage", "run", "config" }) {
        if (!QDir().mkpath(path(QLatin1String(sub)))) {
            lastError = QStringLiteral("cannot create %1").arg(path(QLatin1String(sub)));
            return;
        }
    }
    // The runtime folder must be private, as a session's own is.
    QFile::setPermissions(path(QStringLiteral("run")),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // A copy, not a link: the server looks for tolvern.ini beside its resolved executable.
    copied = QFile::copy(executable, path(QStringLiteral("bin/tolvern-server")));
    if (!copied)
        lastError = QStringLiteral("cannot copy %1").arg(executable);
}

CServerProcess::~CServerProcess()
{
    if (isRunning()) {
        process->kill();
        process->waitForFinished(5000);
    }
}

bool CServerProcess::isValid() const
{
    return dir->isValid() && copied;
}

QString CServerProcess::path(const QString &name) const
{
    return dir->filePath(name);
}

bool CServerProcess::portAccepts(quint16 port, int msec)
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    return probe.waitForConnected(msec);
}

QString CServerProcess::iniPath() const
{
    return path(configOption ? QStringLiteral("server.ini") : QStringLiteral("bin/tolvern.ini"));
}

QByteArray CServerProcess::readOutput()
{
    return process ? process->readAllStandardOutput() : QByteArray();
}

bool CServerProcess::writeIni()
{
    return writeTestIni(iniPath(), storageDir(), controlPort, transferPort, false, extraIni);
}

bool CServerProcess::start(int msec)
{
    if (!isValid() || isRunning())
        return false;
    // Reserved, not merely free at this moment: another test's server could take a port
    // between this choice and this server's listen.
    controlReservation = std::make_unique<CPortReservation>();
    transferReservation = std::make_unique<CPortReservation>();
    controlPort = controlReservation->port();
    transferPort = transferReservation->port();
    if (!controlPort || !transferPort || !writeIni()) {
        lastError = QStringLiteral("cannot prepare tolvern.ini");
        return false;
    }

    process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (headless) {
        for (const char *name : { "QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY" })
            env.remove(QLatin1String(name));
    } else {
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    }
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"),
        runtimeDir.isEmpty() ? path(QStringLiteral("run")) : runtimeDir);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
    for (auto it = extraEnv.cbegin(); it != extraEnv.cend(); ++it) {
        if (it.value().isEmpty())
            env.remove(it.key());
        else
            env.insert(it.key(), it.value());
    }
    process->setProcessEnvironment(env);
    process->setWorkingDirectory(path(QStringLiteral("work")));
    if (captureOutput) {
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    } else if (forwardOutput) {
        process->setProcessChannelMode(QProcess::ForwardedChannels);
    } else {
        process->setStandardOutputFile(QProcess::nullDevice());
        process->setStandardErrorFile(QProcess::nullDevice());
    }
    QStringList arguments;
    if (headless)
        arguments << QStringLiteral("--headless");
    if (configOption)
        arguments << QStringLiteral("--config") << iniPath();
    arguments << extraArguments;
    process->start(path(QStringLiteral("bin/tolvern-server")), arguments);
    if (!process->waitForStarted(msec)) {
        lastError = QStringLiteral("server did not start: %1").arg(process->errorString());
        return false;
    }
    const QDeadlineTimer deadline(msec);
    for (;;) {
        if (portAccepts(controlPort, 200) && portAccepts(transferPort, 200))
            return true;
        if (!isRunning()) {
            lastError = QStringLiteral("server ended with exit code %1 before listening")
                            .arg(process->exitCode());
            return false;
        }
        if (deadline.hasExpired()) {
            lastError = QStringLiteral("server not listening on ports %1 and %2 after %3 ms")
                            .arg(controlPort)
                            .arg(transferPort)
                            .arg(msec);
            return false;
        }
        // Keeps the caller's own sockets served while the server comes up.
        QEventLoop pause;
        QTimer::singleShot(50, &pause, &QEventLoop::quit);
        pause.exec();
    }
}

int CServerProcess::stop(int msec)
{
    if (!process)
        return -1;
    if (isRunning()) {
        ::kill(pid_t(process->processId()), SIGTERM);
        if (!process->waitForFinished(msec)) {
            process->kill();
            process->waitForFinished(5000);
            return -1;
        }
    }
    if (process->exitStatus() != QProcess::NormalExit)
        return -1;
    return process->exitCode();
}

bool CServerProcess::kill(int msec)
{
    if (!isRunning())
        return true;
    ::kill(pid_t(process->processId()), SIGKILL);
    return process->waitForFinished(msec);
}

bool CServerProcess::isRunning() const
{
    return process && process->state() != QProcess::NotRunning;
}

qint64 CServerProcess::processId() const
{
    return isRunning() ? process->processId() : -1;
}

qint64 CServerProcess::residentKiB() const
{
    if (!isRunning())
        return -1;
    QFile status(QStringLiteral("/proc/%1/status").arg(process->processId()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
