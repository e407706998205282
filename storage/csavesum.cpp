#include "csavesum.h"

#include <cerrno>
#include <cstdio>

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <xxhash.h>

#include "csha256.h"

namespace {

// Far more than a sum with a line feed: a larger file is no sum of ours.
constexpr qint64 MAX_SUM_FILE = 256;
constexpr int READ_CHUNK = 1 << 20;

const QString &suffix(CSaveSum::Kind kind)
{
    static const QString xxh = QStringLiteral(".xxh128");
    static const QString sha = QStringLiteral(".sha256");
    return kind == CSaveSum::Kind::Sha256 ? sha : xxh;
}

constexpr CSaveSum::Kind KINDS[] = { CSaveSum::Kind::Xxh128, CSaveSum::Kind::Sha256 };

int hexLength(CSaveSum::Kind kind)
{
    return kind == CSaveSum::Kind::Sha256 ? 64 : 32;
}

bool isHex(const QString &text)
{
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9'))
                || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

} // namespace

CSaveSum::CSaveSum(Kind kind)
    : sumKind(kind)
{
    if (kind == Kind::Sha256)
        sha = std::make_unique<CSha256>();
    else
        xxh = XXH3_createState();
    reset();
}

CSaveSum::~CSaveSum()
{
    if (xxh)
        XXH3_freeState(xxh);
}

void CSaveSum::reset()
{
    if (xxh)
        XXH3_128bits_reset(xxh);
}

void CSaveSum::add(const char *data, qint64 size)
{
    if (size <= 0)
        return;
    if (sha)
        sha->add(data, size);
    else
        XXH3_128bits_update(xxh, data, size_t(size));
}

QString CSaveSum::hexResult()
{
    if (sha)
        return sha->hexResult();
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(xxh));
    reset();
    return QString::fromLatin1(QByteArray::fromRawData(
        reinterpret_cast<const char *>(canonical.digest), sizeof canonical.digest)
                                   .toHex());
}

CSaveSum::Kind CSaveSum::kindOf(const QString &sum)
{
    return sum.size() == hexLength(Kind::Sha256) ? Kind::Sha256 : Kind::Xxh128;
}

QString CSaveSum::kindName(Kind kind)
{
    return kind == Kind::Sha256 ? QStringLiteral("SHA-256") : QStringLiteral("XXH3-128");
}

QString CSaveSum::of(const char *data, qint64 size, Kind kind)
{
    CSaveSum sum(kind);
    sum.add(data, size);
    return sum.hexResult();
}

QString CSaveSum::fileName(const QString &file, Kind kind)
{
    return file + suffix(kind);
}

bool CSaveSum::isSumFile(const QString &name)
{
    return name.endsWith(suffix(Kind::Xxh128)) || name.endsWith(suffix(Kind::Sha256));
}

QString CSaveSum::sumOwner(const QString &sumFile)
{
    for (const Kind kind : KINDS) {
        if (sumFile.endsWith(suffix(kind)))
            return sumFile.chopped(suffix(kind).size());
    }
    return QString();
}

bool CSaveSum::isValid(const QString &text)
{
    return (text.size() == hexLength(Kind::Xxh128) || text.size() == hexLength(Kind::Sha256))
        && isHex(text);
}

QString CSaveSum::recordedFile(const QString &file)
{
    for (const Kind kind : KINDS) {
        const QString name = fileName(file, kind);
        if (QFileInfo::exists(name))
            return name;
    }
    return QString();
}

QString CSaveSum::read(const QString &file)
{
    for (const Kind kind : KINDS) {
        QFile sum(fileName(file, kind));
        if (!sum.open(QIODevice::ReadOnly)) {
            if (sum.exists())
                return QStringLiteral("?");
            continue;
        }
        const QString text = QString::fromLatin1(sum.read(MAX_SUM_FILE)).trimmed();
        // Present but empty, cut short or of the other kind: a sum that matches nothing.
        return text.size() == hexLength(kind) && isHex(text) ? text : QStringLiteral("?");
    }
    return QString();
}

bool CSaveSum::write(const QString &file, const QString &sum)
{
    const Kind kind = kindOf(sum);
    QSaveFile out(fileName(file, kind));
    if (!out.open(QIODevice::WriteOnly))
        return false;
    const QByteArray line = sum.toLatin1() + '\n';
    // QSaveFile syncs the data before its rename.
    if (out.write(line) != line.size() || !out.commit())
        return false;
    // The new sum is in place first: until this is gone the newer kind is the one read.
    QFile::remove(fileName(file, kind == Kind::Xxh128 ? Kind::Sha256 : Kind::Xxh128));
    return true;
}

void CSaveSum::remove(const QString &file)
{
    for (const Kind kind : KINDS)
        QFile::remove(fileName(file, kind));
}

bool CSaveSum::move(const QString &from, const QString &to)
{
    bool had = false;
    for (const Kind kind : KINDS) {
        const QByteArray source = QFile::encodeName(fileName(from, kind));
        const QByteArray target = QFile::encodeName(fileName(to, kind));
        if (std::rename(source.constData(), target.constData()) == 0)
            had = true;
        else if (errno == ENOENT)
            QFile::remove(fileName(to, kind));
    }
    return had;
}

QString CSaveSum::compute(const QString &file, Kind kind, QString *errorText)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (errorText)
            *errorText = in.errorString();
        return QString();
    }
    CSaveSum sum(kind);
    QByteArray buffer(READ_CHUNK, Qt::Uninitialized);
    for (;;) {
        const qint64 got = in.read(buffer.data(), buffer.size());
        if (got < 0) {
            if (errorText)
                *errorText = in.errorString();
            return QString();
        }
        if (got == 0)
            break;
        sum.add(buffer.constData(), got);
    }
    return sum.hexResult();
}
