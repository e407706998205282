#ifndef CS3CONFIG_H
#define CS3CONFIG_H

#include <QString>

class CServerSettings;

// Where an S3 save store lives and how to sign in to it: the [Storage] keys of the ini, with
// the credentials from AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY when the ini has none.
// Objects are named <prefix><id>/<save>.z, the prefix taken literally.
struct CS3Config
{
    QString endpoint; // http(s)://host[:port], no trailing slash
    QString bucket;
    QString region = QStringLiteral("us-east-1");
    QString prefix;
    QString accessKey;
    QString secretKey;

    // False with why set when something needed is missing or malformed.
    static bool fromSettings(const CServerSettings &settings, CS3Config *config, QString *why);
    // s3://BUCKET[/PREFIX]: that bucket, and PREFIX as a folder ("PREFIX/"); the rest from base.
    static bool fromUrl(const QString &url, const CS3Config &base, CS3Config *config, QString *why);
    // The endpoint, region and keys of the settings, each taken from the environment where
    // they have none (AWS_ENDPOINT_URL, AWS_REGION, AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY):
    // the base of an s3:// URL on the command line.
    static CS3Config urlBase(const CServerSettings &settings);
    static bool isS3Url(const QString &text);
    static bool isEndpoint(const QString &text);

    // s3://bucket/prefix, for log lines and messages; never the keys.
    QString displayText() const;
    bool operator==(const CS3Config &other) const;
};

#endif // CS3CONFIG_H
