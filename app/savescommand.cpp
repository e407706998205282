#include "savescommand.h"

#include "cjournal.h"

#include <cstdio>

#include <QCoreApplication>

#include "csavestore.h"
#include "cserversettings.h"
#include "cuserfolder.h"

namespace {

constexpr int EXIT_DONE = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 64;

QString translate(const char *text)
{
    return QCoreApplication::translate("SavesCommand", text);
}

void printOut(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
}

void printErr(const QString &line)
{
    std::fputs(qPrintable(QStringLiteral("tolvern-server: ") + line + QLatin1Char('\n')), stderr);
}

int usage()
{
    std::fputs(qPrintable(translate("Usage: tolvern-server saves list ID\n"
                                    "       tolvern-server saves history ID SAVE\n"
                                    "       tolvern-server saves restore ID SAVE VERSION\n"
                                    "ID is a user's object id, SAVE a save name inside that "
                                    "user's folder (slot1 for 7/slot1),\n"
                                    "VERSION a name that \"saves history\" lists.\n")),
        stderr);
    return EXIT_USAGE;
}

int failure(const CSaveStore::Outcome &outcome)
{
    printErr(outcome.message);
    return outcome.status == CSaveStore::Status::BadName ? EXIT_USAGE : EXIT_FAILED;
}

void printEntries(const QList<CSaveStore::Entry> &entries)
{
    for (const CSaveStore::Entry &e : entries) {
        printOut(QStringLiteral("%1\t%2\t%3")
                     .arg(e.name)
                     .arg(e.size)
                     .arg(e.modified.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))));
    }
}

} // namespace

int runSavesCommand(QStringList args)
{
    static const QList<qsizetype> wordCounts = { 2, 3, 4 };
    static const QStringList commands
        = { QStringLiteral("list"), QStringLiteral("history"), QStringLiteral("restore") };
    const qsizetype which = args.isEmpty() ? -1 : commands.indexOf(args.first());
    if (which < 0 || args.size() != wordCounts.at(which))
        return usage();
    bool ok = false;
    const int objectId = args.at(1).toInt(&ok);
    if (!ok || objectId <= 0)
        return usage();
    const QString user = CUserFolder::name(objectId);

    CServerSettings *settings = CServerSettings::instance();
    settings->load();
    if (settings->saveDataDir.isEmpty()) {
        printErr(translate("no storage directory set in %1").arg(settings->iniFilePath()));
        return EXIT_FAILED;
    }
    CSaveStore store = CSaveStore::fromSettings(*settings);
    CSaveStore::Outcome outcome;

    if (which == 0) {
        const QList<CSaveStore::Entry> saves = store.saves(user, &outcome);
        if (!outcome.ok())
            return failure(outcome);
        printEntries(saves);
        return EXIT_DONE;
    }
    const QString saveName = user + QLatin1Char('/') + args.at(2);
    if (which == 1) {
        const QList<CSaveStore::Entry> versions = store.history(saveName, &outcome);
        if (!outcome.ok())
            return failure(outcome);
        printEntries(versions);
        return EXIT_DONE;
    }
    outcome = store.restore(saveName, args.at(3));
    if (!outcome.ok()) {
        CJournal::record(translate("Restore of save %1 to version %2 failed: %3")
                             .arg(saveName, args.at(3), outcome.message),
            CJournal::Warning);
        return failure(outcome);
    }
    const QString done = outcome.keptVersion.isEmpty()
        ? translate("Restored save %1 to version %2").arg(saveName, args.at(3))
        : translate("Restored save %1 to version %2; the replaced archive is version %3")
              .arg(saveName, args.at(3), outcome.keptVersion);
    // The window's log line, in the journal.
    CJournal::record(done);
    printOut(done);
    return EXIT_DONE;
}
