#ifndef CCONFIGCHECK_H
#define CCONFIGCHECK_H

#include <QStringList>

class CIniFile;
class CServerSettings;

// What an operator's ini says that the server would not take as meant: keys it does not know
// in the sections it reads (a misspelt key is otherwise silently ignored), lines it cannot
// read, values out of range, folders and files that are not there. Sections it does not read
// are left alone, so another tool's section may live in the same file.
class CConfigCheck
{
public:
    // "FILE:LINE: unknown key K in [S], ignored", one per unknown key in a known section.
    static QStringList unknownKeys(const CIniFile &ini);
    // Everything wrong with the ini at path, one line each; empty when it is sound.
    static QStringList problems(const QString &path);
    // The limits of [Security] and [Storage] in effect, as lines for the start-up log.
    static QStringList limitLines(const CServerSettings &settings);
};

#endif // CCONFIGCHECK_H
