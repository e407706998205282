#include "cs3xml.h"

#include <QXmlStreamReader>

namespace {

QDateTime timeOf(const QString &text)
{
    QDateTime when = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!when.isValid())
        when = QDateTime::fromString(text, Qt::ISODate);
    return when.toUTC();
}

} // namespace

QByteArray CS3Xml::unquoted(const QByteArray &etag)
{
    QByteArray out = etag.trimmed();
    if (out.size() >= 2 && out.startsWith('"') && out.endsWith('"'))
        out = out.mid(1, out.size() - 2);
    return out;
}

QDateTime CS3Xml::httpTime(const QByteArray &text)
{
    QString value = QString::fromLatin1(text).trimmed();
    // Qt reads the zone of RFC 2822 as a number only.
    if (value.endsWith(QLatin1String(" GMT")))
        value = value.chopped(4) + QStringLiteral(" +0000");
    return QDateTime::fromString(value, Qt::RFC2822Date).toUTC();
}

CS3Xml::Listing CS3Xml::listing(const QByteArray &body)
{
    Listing out;
    QXmlStreamReader xml(body);
    Object current;
    bool inContents = false;
    bool inFolder = false;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            const auto name = xml.name();
            if (name == QLatin1String("ListBucketResult")) {
                out.valid = true;
            } else if (name == QLatin1String("Contents")) {
                inContents = true;
                current = Object();
            } else if (name == QLatin1String("CommonPrefixes")) {
                inFolder = true;
            } else if (inContents && name == QLatin1String("Key")) {
                current.key = xml.readElementText();
            } else if (inContents && name == QLatin1String("Size")) {
                current.size = xml.readElementText().toLongLong();
            } else if (inContents && name == QLatin1String("LastModified")) {
                current.modified = timeOf(xml.readElementText());
            } else if (inContents && name == QLatin1String("ETag")) {
                current.etag = unquoted(xml.readElementText().toUtf8());
            } else if (inFolder && name == QLatin1String("Prefix")) {
                out.folders << xml.readElementText();
            } else if (name == QLatin1String("IsTruncated")) {
                out.truncated = xml.readElementText() == QLatin1String("true");
            } else if (name == QLatin1String("NextContinuationToken")) {
                out.next = xml.readElementText();
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (xml.name() == QLatin1String("Contents")) {
                inContents = false;
                out.objects << current;
            } else if (xml.name() == QLatin1String("CommonPrefixes")) {
                inFolder = false;
            }
        }
    }
    out.valid = out.valid && !xml.hasError();
    return out;
}

CS3Xml::Uploads CS3Xml::uploads(const QByteArray &body)
{
    Uploads out;
    QXmlStreamReader xml(body);
    Upload current;
    bool inUpload = false;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            const auto name = xml.name();
            if (name == QLatin1String("ListMultipartUploadsResult")) {
                out.valid = true;
            } else if (name == QLatin1String("Upload")) {
                inUpload = true;
                current = Upload();
            } else if (inUpload && name == QLatin1String("Key")) {
                current.key = xml.readElementText();
            } else if (inUpload && name == QLatin1String("UploadId")) {
                current.uploadId = xml.readElementText();
            } else if (inUpload && name == QLatin1String("Initiated")) {
                current.initiated = timeOf(xml.readElementText());
            } else if (name == QLatin1String("IsTruncated")) {
                out.truncated = xml.readElementText() == QLatin1String("true");
            } else if (name == QLatin1String("NextKeyMarker")) {
                out.nextKey = xml.readElementText();
            } else if (name == QLatin1String("NextUploadIdMarker")) {
                out.nextUploadId = xml.readElementText();
            }
        } else if (token == QXmlStreamReader::EndElement && xml.name() == QLatin1String("Upload")) {
            inUpload = false;
            out.uploads << current;
        }
    }
    out.valid = out.valid && !xml.hasError();
    return out;
}

QString CS3Xml::uploadId(const QByteArray &body)
{
    return element(body, QStringLiteral("UploadId"));
}

QString CS3Xml::element(const QByteArray &body, const QString &name)
{
    QXmlStreamReader xml(body);
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == name)
            return xml.readElementText();
    }
    return QString();
}

QString CS3Xml::escaped(const QString &text)
{
    return text.toHtmlEscaped();
}
