#include "cuploadload.h"

#include <QFile>
#include <QThread>

#include "cfileclient.h"

CUploadLoad::CUploadLoad(quint16 filePort, const QString &source)
    : port(filePort)
    , sourcePath(source)
{
}

CUploadLoad::~CUploadLoad()
{
    finish();
}

void CUploadLoad::start(int count, const QString &prefix)
{
    for (int i = 1; i <= count; ++i) {
        const QString saveName = prefix + QString::number(i);
        std::unique_ptr<QThread> thread(QThread::create([this, saveName] {
            QFile file(sourcePath);
            libsock::CFileClient client;
            client.setTimeout(120000);
            const bool ok = file.open(QIODevice::ReadOnly)
                && client.connectToServer(QStringLiteral("127.0.0.1"), port)
                && client.upload(QStringLiteral("bench"), QStringLiteral("bench"), saveName, file);
            if (ok)
                ++stored;
            ++ended;
        }));
        thread->start();
        threads.push_back(std::move(thread));
        ++started;
    }
}

bool CUploadLoad::finish()
{
    for (const auto &thread : threads)
        thread->wait();
    threads.clear();
    if (stored != started)
        error = QStringLiteral("%1 of %2 uploads stored").arg(int(stored)).arg(started);
    return stored == started;
}
