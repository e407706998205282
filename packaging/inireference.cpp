// tolvern-inireference: the reference of tolvern.ini from the table the server checks keys
// against (CIniKeys), as the tolvern.ini(5) man page, or with --markdown as the tables of
// docs/configuration.md. Run at build time; not installed.
#include <cstdio>

#include <QString>

#include "cinikeys.h"
#include "tolvernpaths.h"
#include "tolvernversion.h"

namespace {

// Text for roff: backslashes and minus signs escaped, no line starting with a control
// character.
QString roff(const QString &text)
{
    QString out = text;
    out.replace(QLatin1Char('\\'), QLatin1String("\\e"));
    out.replace(QLatin1Char('-'), QLatin1String("\\-"));
    if (out.startsWith(QLatin1Char('.')) || out.startsWith(QLatin1Char('\'')))
        out.prepend(QLatin1String("\\&"));
    return out;
}

QString markdown(const QString &text)
{
    QString out = text;
    out.replace(QLatin1Char('|'), QLatin1String("\\|"));
    return out;
}

QString defaultOf(const CIniKeys::Key &key)
{
    return QString::fromLatin1(key.defaultText);
}

void print(const QString &text)
{
    std::fputs(text.toUtf8().constData(), stdout);
}

void printManPage()
{
    const QString ini = QStringLiteral(TOLVERN_INSTALLED_INI);
    print(QStringLiteral(
        ".TH TOLVERN.INI 5 \"\" \"tolvern " TOLVERN_VERSION "\" \"File Formats Manual\"\n"
        ".SH NAME\ntolvern.ini \\- settings of the Tolvern Data Server\n"
        ".SH SYNOPSIS\n.I %1\n.br\n.I tolvern.ini\nbeside the program, or\n"
        ".I $XDG_CONFIG_HOME/tolvern/tolvern.ini\n"
        ".SH DESCRIPTION\nThe settings of\n.BR tolvern\\-server (1).\n"
        "The installed service and the admin commands read\n.IR %1 ;\n"
        "a copy in a build tree or a home folder reads the ini beside "
        "itself, or the user's where that folder is not writable.\n.PP\n"
        "Lines are\n.BI [ Section ]\nheaders and\n.IB Key = value\npairs; "
        "lines starting with ; or # are comments. Section and key names match "
        "case\\-insensitively; values are taken literally (a backslash is no "
        "escape). Every key is optional: a missing one takes its default. "
        "The window's dialogs rewrite only the keys they own and leave every "
        "other line alone.\n.PP\n"
        ".B tolvern\\-server \\-\\-check\\-config\nnames every line the server "
        "would not take as meant or would refuse to start with; the server "
        "warns at each start about keys and sections it does not know.\n")
              .arg(roff(ini)));
    for (const CIniKeys::Section &section : CIniKeys::sections()) {
        print(QStringLiteral(".SH \"[%1]\"\n%2\n")
                  .arg(QLatin1String(section.name), roff(QString::fromUtf8(section.meaning))));
        for (const CIniKeys::Key &key : CIniKeys::keys()) {
            if (qstrcmp(key.section, section.name) != 0)
                continue;
            const QString fallback = defaultOf(key);
            print(QStringLiteral(".TP\n.B %1\n%2%3\n")
                      .arg(QLatin1String(key.name), roff(QString::fromUtf8(key.meaning)),
                          fallback.isEmpty()
                              ? QString()
                              : QStringLiteral("\n.br\nDefault: %1").arg(roff(fallback))));
        }
    }
    print(QStringLiteral(".SH EXAMPLE\n.EX\n[General]\nSaveDataDir=%1\nMainPort=3888\n"
                         "FilePort=3889\n\n[Storage]\nKeepVersions=5\n\n[Admin]\nHttpPort=8080\n"
                         ".EE\n.SH SEE ALSO\n.BR tolvern\\-server (1)\n")
              .arg(roff(QStringLiteral(TOLVERN_INSTALLED_STORAGE_DIR))));
}

void printMarkdown()
{
    for (const CIniKeys::Section &section : CIniKeys::sections()) {
        print(QStringLiteral("### [%1]\n\n%2\n\n| key | default | meaning |\n|---|---|---|\n")
                  .arg(QLatin1String(section.name), QString::fromUtf8(section.meaning)));
        for (const CIniKeys::Key &key : CIniKeys::keys()) {
            if (qstrcmp(key.section, section.name) != 0)
                continue;
            const QString fallback = defaultOf(key);
            print(QStringLiteral("| `%1` | %2 | %3 |\n")
                      .arg(QLatin1String(key.name),
                          fallback.isEmpty() ? QStringLiteral("(none)")
                                             : QStringLiteral("`%1`").arg(fallback),
                          markdown(QString::fromUtf8(key.meaning))));
        }
        print(QStringLiteral("\n"));
    }
}

} // namespace

int main(int argc, char **argv)
{
    const bool md = argc == 2 && qstrcmp(argv[1], "--markdown") == 0;
    if (argc > 2 || (argc == 2 && !md)) {
        std::fputs("Usage: tolvern-inireference [--markdown]\n", stderr);
        return 64;
    }
    if (md)
        printMarkdown();
    else
        printManPage();
    return 0;
}
