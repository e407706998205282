#include "cs3config.h"

#include <QUrl>

#include "cserversettings.h"

namespace {

bool validate(CS3Config *config, QString *why)
{
    while (config->endpoint.endsWith(QLatin1Char('/')))
        config->endpoint.chop(1);
    if (config->endpoint.isEmpty()) {
        *why = QStringLiteral("S3Endpoint is not set");
        return false;
    }
    if (!CS3Config::isEndpoint(config->endpoint)) {
        *why = QStringLiteral("S3Endpoint %1 is not an http:// or https:// URL")
                   .arg(config->endpoint);
        return false;
    }
    if (config->bucket.isEmpty() || config->bucket.contains(QLatin1Char('/'))) {
        *why = config->bucket.isEmpty()
            ? QStringLiteral("S3Bucket is not set")
            : QStringLiteral("S3Bucket %1 is not a bucket name").arg(config->bucket);
        return false;
    }
    if (config->prefix.startsWith(QLatin1Char('/')) || config->prefix.contains(QChar(0))) {
        *why = QStringLiteral("S3Prefix must not start with a slash");
        return false;
    }
    if (config->accessKey.isEmpty() || config->secretKey.isEmpty()) {
        *why = QStringLiteral("no S3 credentials: set S3AccessKey and S3SecretKey, or "
                              "AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY");
        return false;
    }
    if (config->region.isEmpty())
        config->region = QStringLiteral("us-east-1");
    return true;
}

} // namespace

bool CS3Config::fromSettings(const CServerSettings &settings, CS3Config *config, QString *why)
{
    CS3Config made;
    made.endpoint = settings.s3Endpoint;
    made.bucket = settings.s3Bucket;
    made.region = settings.s3Region;
    made.prefix = settings.s3Prefix;
    made.accessKey = settings.s3AccessKey;
    made.secretKey = settings.s3SecretKey;
    // The usual environment of AWS tools, when the ini keeps no keys.
    if (made.accessKey.isEmpty() && made.secretKey.isEmpty()) {
        made.accessKey = qEnvironmentVariable("AWS_ACCESS_KEY_ID");
        made.secretKey = qEnvironmentVariable("AWS_SECRET_ACCESS_KEY");
    }
    if (!validate(&made, why))
        return false;
    *config = made;
    return true;
}

CS3Config CS3Config::urlBase(const CServerSettings &settings)
{
    CS3Config base;
    const auto either = [](const QString &value, const char *variable) {
        return value.isEmpty() ? qEnvironmentVariable(variable) : value;
    };
    base.endpoint = either(settings.s3Endpoint, "AWS_ENDPOINT_URL");
    // The region goes with the endpoint it came with.
    base.region
        = settings.s3Endpoint.isEmpty() ? qEnvironmentVariable("AWS_REGION") : settings.s3Region;
    base.accessKey = settings.s3AccessKey;
    base.secretKey = settings.s3SecretKey;
    if (base.accessKey.isEmpty() && base.secretKey.isEmpty()) {
        base.accessKey = qEnvironmentVariable("AWS_ACCESS_KEY_ID");
        base.secretKey = qEnvironmentVariable("AWS_SECRET_ACCESS_KEY");
    }
    return base;
}

bool CS3Config::isS3Url(const QString &text)
{
    return text.startsWith(QLatin1String("s3://"), Qt::CaseInsensitive);
}

bool CS3Config::fromUrl(const QString &url, const CS3Config &base, CS3Config *config, QString *why)
{
    if (!isS3Url(url)) {
        *why = QStringLiteral("%1 is not an s3://BUCKET[/PREFIX] URL").arg(url);
        return false;
    }
    const QString rest = url.mid(5);
    CS3Config made = base;
    made.bucket = rest.section(QLatin1Char('/'), 0, 0);
    made.prefix = rest.section(QLatin1Char('/'), 1);
    while (made.prefix.endsWith(QLatin1Char('/')))
        made.prefix.chop(1);
    if (!made.prefix.isEmpty())
        made.prefix += QLatin1Char('/');
    if (made.bucket.isEmpty()) {
        *why = QStringLiteral("%1 names no bucket").arg(url);
        return false;
    }
    if (!validate(&made, why))
        return false;
    *config = made;
    return true;
}

bool CS3Config::isEndpoint(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
        && !url.host().isEmpty() && url.query().isEmpty();
}

QString CS3Config::displayText() const
{
    return QStringLiteral("s3://%1/%2").arg(bucket, prefix);
}

bool CS3Config::operator==(const CS3Config &other) const
{
    return endpoint == other.endpoint && bucket == other.bucket && region == other.region
        && prefix == other.prefix && accessKey == other.accessKey && secretKey == other.secretKey;
}
