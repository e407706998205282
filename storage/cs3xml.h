#ifndef CS3XML_H
#define CS3XML_H

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// The store's XML answers that the save store reads: object listings, a new multipart
// upload, the multipart uploads under way.
class CS3Xml
{
public:
    struct Object
    {
        QString key;
        qint64 size = 0;
        QDateTime modified;
        QByteArray etag; // without quotes
    };

    struct Listing
    {
        QList<Object> objects;
        QStringList folders; // CommonPrefixes, with a delimiter
        bool truncated = false;
        QString next; // continuation token
        bool valid = false;
    };

    struct Upload
    {
        QString key;
        QString uploadId;
        QDateTime initiated;
    };

    struct Uploads
    {
        QList<Upload> uploads;
        bool truncated = false;
        QString nextKey;
        QString nextUploadId;
        bool valid = false;
    };

    static Listing listing(const QByteArray &xml);
    static Uploads uploads(const QByteArray &xml);
    // The UploadId of InitiateMultipartUploadResult; empty when there is none.
    static QString uploadId(const QByteArray &xml);
    // The text of the first element of that name.
    static QString element(const QByteArray &xml, const QString &name);
    // "<" and "&" and friends escaped, for the requests' own XML.
    static QString escaped(const QString &text);
    static QByteArray unquoted(const QByteArray &etag);
    // An HTTP date (Last-Modified, Date: "Tue, 08 Dec 2026 15:37:14 GMT") in UTC.
    static QDateTime httpTime(const QByteArray &text);
};

#endif // CS3XML_H
