#include "cuploadload.h"

#include <QProcess>
#include <QThread>

CUploadLoad::CUploadLoad(const QString &client, quint16 filePort, const QString &source)
    : clientPath(client)
    , port(filePort)
    , sourcePath(source)
{
}

CUploadLoad::~CUploadLoad()
{
    finish();
}

void CUploadLoad::start(int clients, int uploadsEach, const QString &prefix)
{
    for (int i = 1; i <= clients; ++i) {
        const QString saveName = prefix + QString::number(i);
        std::unique_ptr<QThread> thread(QThread::create([this, saveName, uploadsEach] {
            for (int n = 0; n < uploadsEach; ++n) {
                QProcess client;
                client.start(clientPath,
                    { QStringLiteral("--file-port"), QString::number(port),
                        QStringLiteral("--timeout"), QStringLiteral("120"),
                        QStringLiteral("upload"), saveName, sourcePath, QStringLiteral("--user"),
                        QStringLiteral("bench") });
                const bool ok = client.waitForFinished(180000)
                    && client.exitStatus() == QProcess::NormalExit && client.exitCode() == 0;
                if (ok)
                    ++stored;
                if (!ok || n + 1 == uploadsEach) {
                    ++ended;
                    return;
                }
            }
        }));
        thread->start();
        threads.push_back(std::move(thread));
        ++started;
        expected += uploadsEach;
    }
}

bool CUploadLoad::finish()
{
    for (const auto &thread : threads)
        thread->wait();
    threads.clear();
    if (stored != expected)
        error = QStringLiteral("%1 of %2 uploads stored").arg(int(stored)).arg(expected);
    return stored == expected;
}
