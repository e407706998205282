#include "cs3testenv.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QUrl>

#include "cs3client.h"

bool CS3TestEnv::load(QString *why)
{
    const QString file = qEnvironmentVariable("TOLVERN_S3_ENV");
    if (file.isEmpty()) {
        *why = QStringLiteral("skipped: no S3 store (run through ctest: the s3_cluster fixture)");
        return false;
    }
    const QString unavailable = QFileInfo(file).absolutePath() + QStringLiteral("/unavailable");
    QFile reason(unavailable);
    if (reason.open(QIODevice::ReadOnly)) {
        *why = QString::fromUtf8(reason.readAll()).trimmed();
        return false;
    }
    return loadFile(file, why);
}

bool CS3TestEnv::loadFile(const QString &file, QString *why)
{
    QFile env(file);
    if (!env.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("skipped: cannot read %1").arg(file);
        return false;
    }
    for (const QByteArray &line : env.readAll().split('\n')) {
        const QString text = QString::fromUtf8(line).trimmed();
        const QString value = text.section(QLatin1Char('='), 1);
        if (text.startsWith(QLatin1String("S3_ENDPOINT=")))
            endpoint = value;
        else if (text.startsWith(QLatin1String("S3_ACCESS_KEY=")))
            accessKey = value;
        else if (text.startsWith(QLatin1String("S3_SECRET_KEY=")))
            secretKey = value;
        else if (text.startsWith(QLatin1String("S3_REGION=")))
            region = value;
    }
    port = quint16(QUrl(endpoint).port());
    if (endpoint.isEmpty() || accessKey.isEmpty() || port == 0) {
        *why = QStringLiteral("%1 names no endpoint and keys").arg(file);
        return false;
    }
    return true;
}

QString CS3TestEnv::createBucket(const QString &hint) const
{
    CS3Config config;
    config.endpoint = endpoint;
    config.region = region;
    config.accessKey = accessKey;
    config.secretKey = secretKey;
    config.bucket = (hint + QLatin1Char('-')
        + QString::number(QRandomGenerator::global()->generate64(), 36))
                        .toLower()
                        .left(63);
    CS3Client client(config);
    CS3Client::Request request;
    request.method = "PUT";
    return client.call(request).ok() ? config.bucket : QString();
}

QString CS3TestEnv::iniSection(
    const QString &bucket, const QString &prefix, const QString &endpointUrl) const
{
    return QStringLiteral("[Storage]\nBackend=s3\nS3Endpoint=%1\nS3Bucket=%2\nS3Prefix=%3\n"
                          "S3AccessKey=%4\nS3SecretKey=%5\n")
        .arg(endpointUrl.isEmpty() ? endpoint : endpointUrl, bucket, prefix, accessKey,
            secretKey);
}
