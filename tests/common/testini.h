#ifndef TESTINI_H
#define TESTINI_H

#include <QFile>
#include <QString>

// The one ini writer of the tests: a [General] section as the setup dialog leaves it, and
// whatever further sections a test needs. Replaces the file; false when it cannot be written.
inline bool writeTestIni(const QString &path, const QString &saveDataDir, int mainPort,
    int filePort, bool startWithOS = false, const QString &extra = QString())
{
    QFile ini(path);
    if (!ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QString text
        = QStringLiteral(
              "[General]\nSaveDataDir=%1\nMainPort=%2\nFilePort=%3\nStartWhenOSStarts=%4\n")
              .arg(saveDataDir)
              .arg(mainPort)
              .arg(filePort)
              .arg(startWithOS ? QStringLiteral("true") : QStringLiteral("false"))
        + extra;
    return ini.write(text.toUtf8()) > 0 && ini.flush();
}

#endif // TESTINI_H
