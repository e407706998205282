#ifndef CSAVESUM_H
#define CSAVESUM_H

#include <memory>

#include <QByteArray>
#include <QString>

class CSha256;
struct XXH3_state_s;

// The sum kept beside an archive and beside each of its versions, against rot at rest: a
// small file named after it with ".xxh128" appended (7/slot1.z.xxh128,
// 7/.versions/slot1.z/<time>.xxh128) holding the XXH3-128 of the archive as 32 lower-case hex
// digits (the canonical form xxh128sum prints) and a line feed. Archives stored by earlier
// servers have a ".sha256" file instead (64 hex digits): it is read and checked against until
// the next upload replaces it. A sum's kind shows in its length. An upload writes and syncs
// the sum before the archive is renamed; it is linked, restored and pruned together with its
// archive. No save name maps to it (archives end in ".z") and no listing or limit counts it.
// Archives from before sums were kept have none: they are unchecked.
//
// One object is a running sum of one kind, fed in pieces; the static functions name, read and
// write the sum files, for any store that keeps them beside its files.
class CSaveSum
{
public:
    enum class Kind { Xxh128, Sha256 };
    // What every new sum is.
    static constexpr Kind CURRENT = Kind::Xxh128;

    explicit CSaveSum(Kind kind = CURRENT);
    ~CSaveSum();
    CSaveSum(const CSaveSum &) = delete;
    CSaveSum &operator=(const CSaveSum &) = delete;

    Kind kind() const { return sumKind; }
    void add(const char *data, qint64 size);
    void add(const QByteArray &data) { add(data.constData(), data.size()); }
    // The sum of everything added, as hex; the object starts over afterwards.
    QString hexResult();

    // The kind a sum text is of (by its length); CURRENT for a text of neither.
    static Kind kindOf(const QString &sum);
    // "XXH3-128" or "SHA-256", for messages.
    static QString kindName(Kind kind);
    static QString kindName(const QString &sum) { return kindName(kindOf(sum)); }
    // The sum of size bytes at data, of that kind.
    static QString of(const char *data, qint64 size, Kind kind = CURRENT);

    static QString fileName(const QString &file, Kind kind = CURRENT);
    static bool isSumFile(const QString &name);
    // The file a sum file (of either kind) belongs to.
    static QString sumOwner(const QString &sumFile);
    // Whether text is a sum as kept: 32 (XXH3-128) or 64 (SHA-256) lower-case hex digits.
    static bool isValid(const QString &text);
    // The sum file read() takes for file: the ".xxh128" one when present, else the ".sha256"
    // one when present, else empty.
    static QString recordedFile(const QString &file);
    // The sum kept for file: empty when there is none; the text of recordedFile() when it is a
    // valid sum of its kind; "?" otherwise (empty, cut short, garbled), which matches nothing,
    // so a damaged sum file never lets a save pass as unchecked.
    static QString read(const QString &file);
    // Keeps sum beside file in the file of its kind, through a synced temporary file and a
    // rename, then removes a sum file of the other kind; the caller syncs the folder.
    static bool write(const QString &file, const QString &sum);
    // Removes the sum files of both kinds.
    static void remove(const QString &file);
    // Moves the sum files of from (each kind that exists) to be those of to; a kind from has
    // none of goes from to as well. Whether from had one.
    static bool move(const QString &from, const QString &to);
    // The sum of file as it is on disk now, or empty with errorText set.
    static QString compute(const QString &file, Kind kind = CURRENT, QString *errorText = nullptr);

private:
    void reset();

    Kind sumKind;
    XXH3_state_s *xxh = nullptr;
    std::unique_ptr<CSha256> sha;
};

#endif // CSAVESUM_H
