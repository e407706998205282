#include "savescommand.h"

#include "cjournal.h"

#include <cstdio>

#include <QCoreApplication>
#include <QDir>

#include "cadmincommand.h"
#include "csavestore.h"
#include "csaveverifier.h"
#include "cserversettings.h"
#include "cstartuptidy.h"
#include "cuserdb.h"
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

int usage(FILE *to = stderr)
{
    std::fputs(qPrintable(translate("Usage: tolvern-server saves list ID\n"
                                    "       tolvern-server saves history ID SAVE\n"
                                    "       tolvern-server saves restore ID SAVE VERSION\n"
                                    "       tolvern-server saves verify ID|--all\n"
                                    "ID is a user's object id, SAVE a save name inside that "
                                    "user's folder (slot1 for 7/slot1),\n"
                                    "VERSION a name that \"saves history\" lists.\n"
                                    "verify reads every archive and version of the user (or "
                                    "of all users) again\nand checks it against the sum "
                                    "kept beside it: one line each, good, DAMAGED\nor "
                                    "unchecked (kept before sums); for a damaged save the "
                                    "newest good version\nto restore. Exit 1 when anything "
                                    "is damaged. verify --all first removes what uploads cut "
                                    "short left.\n")),
        to);
    return to == stdout ? EXIT_DONE : EXIT_USAGE;
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

QString stateText(CSaveVerifier::State state)
{
    switch (state) {
    case CSaveVerifier::State::Good:
        return QStringLiteral("good");
    case CSaveVerifier::State::Damaged:
        return QStringLiteral("DAMAGED");
    case CSaveVerifier::State::Unchecked:
        break;
    }
    return QStringLiteral("unchecked");
}

// The user folders of the storage directory: named by object ids.
QStringList userFolders(const QString &root)
{
    QStringList out;
    for (const QString &name : QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        if (name.toInt(&ok) > 0 && ok && CUserFolder::name(name.toInt()) == name)
            out << name;
    }
    return out;
}

int verify(const CSaveStore &store, const QStringList &users)
{
    const CSaveVerifier verifier(store);
    int good = 0;
    int damaged = 0;
    int unchecked = 0;
    for (const QString &user : users) {
        CSaveStore::Outcome outcome;
        const QList<CSaveVerifier::Report> reports = verifier.verifyUser(user, &outcome);
        if (!outcome.ok())
            return failure(outcome);
        for (const CSaveVerifier::Report &report : reports) {
            for (const CSaveVerifier::Item &item : report.items) {
                printOut(
                    QStringLiteral("%1\t%2\t%3%4")
                        .arg(report.saveName,
                            item.version.isEmpty() ? QStringLiteral("current") : item.version,
                            stateText(item.state),
                            item.detail.isEmpty() ? QString() : QLatin1Char('\t') + item.detail));
                good += item.state == CSaveVerifier::State::Good;
                damaged += item.state == CSaveVerifier::State::Damaged;
                unchecked += item.state == CSaveVerifier::State::Unchecked;
            }
            if (!report.damaged())
                continue;
            const QString save = report.saveName.section(QLatin1Char('/'), 1);
            printOut(report.newestGood.isEmpty()
                    ? translate("%1\tno good version to restore").arg(report.saveName)
                    : translate("%1\tnewest good version %2: tolvern-server saves restore %3 %4 %2")
                          .arg(report.saveName, report.newestGood, user, save));
        }
    }
    printErr(translate("%1 archives and versions checked: %2 good, %3 damaged, %4 unchecked")
                 .arg(good + damaged + unchecked)
                 .arg(good)
                 .arg(damaged)
                 .arg(unchecked));
    return damaged > 0 ? EXIT_FAILED : EXIT_DONE;
}

int userWithoutSaves(CAdminCommand &command, int objectId)
{
    if (!command.openDatabase(false))
        return EXIT_FAILED;
    CUserDb *db = CUserDb::instance();
    QString stored;
    if (db->password(objectId, &stored))
        return EXIT_DONE;
    // False both for no such user and for a database that did not answer.
    bool found = false;
    if (!db->lookUpName(QString(), &found)) {
        printErr(translate("the user database cannot be read"));
        return EXIT_FAILED;
    }
    printErr(translate("no user with id %1").arg(objectId));
    return CAdminCommand::EXIT_NO_USER;
}

} // namespace

int runSavesCommand(CAdminCommand &command, QStringList args)
{
    if (args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h")))
        return usage(stdout);
    const bool all = args.size() == 2 && args.first() == QLatin1String("verify")
        && args.at(1) == QLatin1String("--all");
    if (all)
        args[1] = QStringLiteral("1"); // a stand-in id, for the checks below
    static const QList<qsizetype> wordCounts = { 2, 3, 4, 2 };
    static const QStringList commands = { QStringLiteral("list"), QStringLiteral("history"),
        QStringLiteral("restore"), QStringLiteral("verify") };
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

    if (which == 3) {
        // What uploads cut short left goes first, as at start; uploads in flight stay.
        const QString removed
            = all ? CStartupTidy::cutUploadsLine(store.removeCutUploads()) : QString();
        if (!removed.isEmpty()) {
            printErr(removed);
            CJournal::record(removed);
        }
        return verify(store, all ? userFolders(store.storageDirectory()) : QStringList { user });
    }
    if (which == 0) {
        const QList<CSaveStore::Entry> saves = store.saves(user, &outcome);
        // A user who never uploaded has no folder yet: no saves, if there is such a user.
        if (outcome.status == CSaveStore::Status::NotFound)
            return userWithoutSaves(command, objectId);
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
