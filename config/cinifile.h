#ifndef CINIFILE_H
#define CINIFILE_H

#include <QByteArray>
#include <QList>
#include <QString>

// A Windows initialization file, read and written the way the Windows profile functions do:
// section and key names match without regard to letter case, values are taken literally
// (a backslash is just a backslash), and a write replaces the key's line in place, adds a
// missing section or key and leaves every other line exactly as it was. save() replaces the
// file atomically, so a crash mid-save leaves either the old or the new file.
class CIniFile
{
public:
    enum Status { Loaded, Missing, Unreadable };

    explicit CIniFile(const QString &path);

    Status load();
    // The same from the file's bytes, read elsewhere.
    Status parse(QByteArray data);
    Status status() const { return loadStatus; }
    QString path() const { return filePath; }

    bool contains(const QString &section, const QString &key) const;
    QString value(const QString &section, const QString &key, const QString &defaultValue) const;
    int intValue(const QString &section, const QString &key, int defaultValue) const;

    // False when the text cannot be stored as one line of this format.
    bool setValue(const QString &section, const QString &key, const QString &value);
    // Refuses to overwrite a file that exists but could not be read. A new file is its
    // owner's only; one replaced keeps its owner and group (see CWholeFile).
    bool save();
    // The bytes save() writes.
    QByteArray text() const;
    // Why the last save() failed.
    QString errorString() const { return saveError; }

    // One key line as read, for checking a file rather than reading a setting.
    struct Entry
    {
        int line = 0; // 1-based
        QString section; // as written; empty for keys before the first section
        int sectionLine = 0; // the line of its section's header, 0 before the first
        QString key;
        QString value;
    };
    // Every key line in file order; stray gets the numbers of lines that are no section,
    // key, comment or blank line (and so are ignored).
    QList<Entry> entries(QList<int> *stray = nullptr) const;

    // Leading blanks, optional sign, decimal digits up to the first non-digit; no digit is 0.
    static int parseInt(const QString &text);

private:
    struct Line
    {
        QByteArray raw; // as read, without the line end; written back unless edited
        QString text;
        QByteArray end; // "\r\n", "\n", or empty on a last line without one
        bool edited = false;
    };

    int findSection(const QString &section) const;
    int findKey(int sectionLine, const QString &key) const;
    int findKeyLine(const QString &section, const QString &key) const;
    QString decode(const QByteArray &raw) const;
    void insertLine(int index, const QString &text);

    QString filePath;
    QString saveError;
    Status loadStatus = Missing;
    QList<Line> lines;
    QByteArray bom;
    // Files with a UTF-16 byte-order mark are read and written in that form; all others are
    // 8-bit, each line decoded as UTF-8 or, failing that, Latin-1.
    bool utf16 = false;
    bool bigEndian = false;
    QByteArray newLine = QByteArrayLiteral("\n");
};

#endif // CINIFILE_H
