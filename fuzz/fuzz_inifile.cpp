// The settings file parser: any file loads, and a value written into it reads back the same
// after a save, with every other key unchanged.

#include <cstdint>
#include <cstdio>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include "cinifile.h"

namespace {

QTemporaryDir *dir = nullptr;

const QString SECTION = QStringLiteral("General");
const QString KEYS[] = { QStringLiteral("SaveDataDir"), QStringLiteral("MainPort"),
    QStringLiteral("FilePort"), QStringLiteral("StartWhenOSStarts") };

void check(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "fuzz_inifile: %s\n", what);
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv);
    dir = new QTemporaryDir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = dir->filePath(QStringLiteral("tolvern.ini"));
    {
        QFile file(path);
        check(file.open(QIODevice::WriteOnly | QIODevice::Truncate)
                && file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size),
            "cannot write the input");
    }
    CIniFile ini(path);
    check(ini.load() == CIniFile::Loaded, "a readable file did not load");
    QString before[4];
    for (int i = 0; i < 4; ++i) {
        before[i] = ini.value(SECTION, KEYS[i], QStringLiteral("<none>"));
        ini.intValue(SECTION, KEYS[i], -1);
    }
    // The last bytes of the input, read as text, are the value written.
    const QString text
        = QString::fromUtf8(reinterpret_cast<const char *>(data) + size - qMin<size_t>(size, 16),
            qMin<size_t>(size, 16));
    if (!ini.setValue(SECTION, KEYS[0], text))
        return 0; // refused: not storable as one line
    check(ini.save(), "save failed");
    CIniFile again(path);
    check(again.load() == CIniFile::Loaded, "the saved file did not load");
    check(again.value(SECTION, KEYS[0], QString()) == text, "the value written did not read back");
    for (int i = 1; i < 4; ++i)
        check(again.value(SECTION, KEYS[i], QStringLiteral("<none>")) == before[i],
            "another key changed");
    return 0;
}
