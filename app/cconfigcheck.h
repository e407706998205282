#ifndef CCONFIGCHECK_H
#define CCONFIGCHECK_H

#include <QStringList>

class CIniFile;
class CServerSettings;

// What an operator's ini says that the server would not take as meant, or would refuse to
// start with: sections and keys it does not know (a misspelt one is otherwise silently
// ignored), lines it cannot read, values out of range, folders and files that are not there,
// two ports that are one, a TLS pair that does not fit. The table of keys is CIniKeys.
class CConfigCheck
{
public:
    // "FILE:LINE: unknown key K in [S], ignored", one per unknown key in a known section, and
    // "FILE:LINE: unknown section [S], ignored" once per header of an unknown one.
    static QStringList unknownKeys(const CIniFile &ini);
    // Everything wrong with the ini at path, one line each; empty when it is sound.
    static QStringList problems(const QString &path);
    // The limits of [Security] and [Storage] in effect, as lines for the start-up log.
    static QStringList limitLines(const CServerSettings &settings);
};

#endif // CCONFIGCHECK_H
