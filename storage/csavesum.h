#ifndef CSAVESUM_H
#define CSAVESUM_H

#include <QString>

// The SHA-256 kept beside an archive and beside each of its versions: a small file named after
// it with ".sha256" appended (7/slot1.z.sha256, 7/.versions/slot1.z/<time>.sha256) holding 64
// lower-case hex digits and a line feed. An upload writes and syncs it before the archive is
// renamed into place, so no committed archive lacks it; it is linked, restored and pruned
// together with its archive. No save name maps to it (archives end in ".z") and no listing or
// limit counts it. Archives from before sums were kept have none: they are unchecked.
class CSaveSum
{
public:
    static QString fileName(const QString &file);
    static bool isSumFile(const QString &name);
    // Whether text is a sum as kept: 64 lower-case hex digits.
    static bool isValid(const QString &text);
    // The sum kept for file: empty when there is none; the file's text (trimmed) otherwise,
    // so that a damaged sum file never matches.
    static QString read(const QString &file);
    // Keeps hex beside file through a synced temporary file and a rename; the caller syncs
    // the folder.
    static bool write(const QString &file, const QString &hex);
    static void remove(const QString &file);
    // The sum of file as it is on disk now, or empty with errorText set.
    static QString compute(const QString &file, QString *errorText = nullptr);
};

#endif // CSAVESUM_H
