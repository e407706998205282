#ifndef CINIKEYS_H
#define CINIKEYS_H

#include <QList>
#include <QString>

// Every section and key of tolvern.ini that the server reads, with the kind of value, the
// default and the meaning: --check-config checks an ini against this table, the start warns
// about keys it does not hold, and the tolvern.ini(5) page and the configuration reference are
// made from it, so none of them can drift from what the server reads.
class CIniKeys
{
public:
    enum class Kind {
        Text,
        Folder,
        File,
        Port, // 1-65535
        AnyPort, // 0-65535, 0: off
        Address, // an IP address
        Count, // 0 to INT_MAX
        Bytes, // 0 and up
        Floor, // -1 and up
        Flag, // true or false
        Driver,
        Hashing,
        Backend, // files or s3
        Endpoint, // an http(s):// URL
    };

    struct Key
    {
        const char *section;
        const char *name;
        Kind kind;
        const char *defaultText; // as an operator would write it; empty: none
        const char *meaning;
    };

    struct Section
    {
        const char *name;
        const char *meaning;
    };

    static const QList<Key> &keys();
    static const QList<Section> &sections();
    // Section and key names match case-insensitively, as the server reads them.
    static const Key *find(const QString &section, const QString &key);
    static bool isSection(const QString &section);
};

#endif // CINIKEYS_H
