#ifndef CS3SAVECOPY_H
#define CS3SAVECOPY_H

#include <functional>
#include <memory>

#include <QList>
#include <QString>
#include <QStringList>

class CS3Bucket;

// Carries saves between a storage folder and a bucket, in the layout both share: every
// archive and version (7/slot1.z, 7/.versions/slot1.z/<time>) as a file or an object, its
// sum as the file beside it (7/slot1.z.sha256) or in the object's metadata. Uploads in
// flight and locks are left out. Used to move a server's saves (saves copy), and to back up
// and restore the saves of a server on S3.
class CS3SaveCopy
{
public:
    struct File
    {
        QString path; // relative, as in the folder
        qint64 size = 0;
        QString carried; // the sum (of the current kind) of the bytes carried
        QString sum; // the sum kept for it; empty: none
    };
    // After each file: the files and bytes carried so far, of all there are.
    using Progress
        = std::function<void(qint64 files, qint64 bytes, qint64 totalFiles, qint64 totalBytes)>;

    explicit CS3SaveCopy(const std::shared_ptr<CS3Bucket> &bucket);

    void setProgress(const Progress &sink) { progress = sink; }

    // Every save and version under the bucket's prefix into folder, with its sum file.
    bool toFolder(const QString &folder, QList<File> *files, QString *error);
    // Every save and version of folder into the bucket, its sum file as metadata.
    bool fromFolder(const QString &folder, QList<File> *files, QString *error);
    // Whether the bucket's prefix holds nothing yet (false with error when it cannot tell).
    bool bucketEmpty(bool *empty, QString *error);
    // Removes every save and version under the prefix (what bucketEmpty looks for); false
    // with error when some stayed.
    bool clearSaves(QString *error);
    // What differs between files and the bucket as it is now: one line each.
    QStringList checkBucket(const QList<File> &files);
    // What differs between files and folder as it is now (every file read again).
    static QStringList checkFolder(const QString &folder, const QList<File> &files);

    // Whether a file of a storage folder is a save or version to carry (not a sum file, an
    // upload in flight or a partial copy).
    static bool isSaveFile(const QString &relativePath);

private:
    std::shared_ptr<CS3Bucket> bucket;
    Progress progress;
};

#endif // CS3SAVECOPY_H
