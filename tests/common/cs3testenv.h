#ifndef CS3TESTENV_H
#define CS3TESTENV_H

#include <QString>

// The S3 store of the s3_cluster fixture, as the file TOLVERN_S3_ENV describes it, and
// buckets of a test's own in it.
class CS3TestEnv
{
public:
    // False with why set: no fixture (run through ctest), or Ceph not installed (a skip).
    bool load(QString *why);
    // The endpoint and keys of an s3.env that start-s3.sh wrote.
    bool loadFile(const QString &file, QString *why);

    QString endpoint;
    QString accessKey;
    QString secretKey;
    QString region;
    quint16 port = 0;

    // A new, empty bucket whose name starts with hint; empty on failure.
    QString createBucket(const QString &hint) const;
    // The [Storage] section of an ini whose saves go to bucket through endpointUrl (the
    // store's own when empty).
    QString iniSection(const QString &bucket, const QString &prefix = QString(),
        const QString &endpointUrl = QString()) const;
};

#endif // CS3TESTENV_H
