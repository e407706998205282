#ifndef CSERVEROPTIONS_H
#define CSERVEROPTIONS_H

#include <QString>
#include <QStringList>

// The server's own command line. The toolkit's options (-platform and the like) are let
// through for the window; anything else unknown is refused.
class CServerOptions
{
public:
    enum Outcome { Run, Help, Version, CheckConfig, Invalid };

    // arguments: without the program name. Paths come back absolute, taken against the
    // working directory of the call.
    Outcome parse(const QStringList &arguments);
    QString errorText() const { return error; }
    static QString usage();

    bool headless = false;
    // The toolkit was told which platform to use (-platform), so a window is wanted.
    bool platformGiven = false;
    QString storage;
    QString config;
    // --check-config's file; empty: the ini the server would read.
    QString checkFile;
    QString workDir;
    // The user database for this run instead of the ini's [Database]: a postgresql:// URL or
    // an SQLite file.
    QString database;
    int mainPort = 0;
    int filePort = 0;

private:
    bool takeValue(const QStringList &arguments, int &index, const QString &name, QString &value);
    bool parsePort(const QString &name, const QString &text, int &port);
    // One of the toolkit's own options at index (its value taken too); false with error set
    // for anything else.
    bool takeToolkitOption(const QStringList &arguments, int &index);

    QString error;
};

#endif // CSERVEROPTIONS_H
