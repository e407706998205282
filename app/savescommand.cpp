#include "savescommand.h"

#include "cjournal.h"

#include <cstdio>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include "cs3bucket.h"
#include "cs3config.h"
#include "cs3savecopy.h"
#include "cadmincommand.h"
#include "csavestore.h"
#include "csaveverifier.h"
#include "cserversettings.h"
#include "cstartuptidy.h"
#include "cuserdb.h"
#include "cuserfolder.h"
#include "exitcodes.h"

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
                                    "       tolvern-server saves copy --to s3://BUCKET[/PREFIX]\n"
                                    "       tolvern-server saves copy --from s3://BUCKET[/PREFIX]\n"
                                    "ID is a user's object id, SAVE a save name inside that "
                                    "user's folder (slot1 for 7/slot1),\n"
                                    "VERSION a name that \"saves history\" lists.\n"
                                    "verify reads every archive and version of the user (or "
                                    "of all users) again\nand checks it against the sum "
                                    "kept beside it: one line each, good, DAMAGED\nor "
                                    "unchecked (kept before sums); for a damaged save the "
                                    "newest good version\nto restore. Exit 1 when anything "
                                    "is damaged. verify --all first removes what uploads cut "
                                    "short left.\n"
                                    "copy moves the saves, with their history and sums, from "
                                    "the storage folder\ninto a bucket (--to) or from a bucket "
                                    "into the storage folder (--from), like\n\"db copy\": the "
                                    "target must hold no saves yet; then every file is checked\n"
                                    "against what was carried. The endpoint, region and keys "
                                    "come from [Storage] of\nthe ini, else from "
                                    "AWS_ENDPOINT_URL, AWS_REGION, AWS_ACCESS_KEY_ID and\n"
                                    "AWS_SECRET_ACCESS_KEY. Exit 6 when the target holds saves "
                                    "already.\n")),
        to);
    return to == stdout ? EXIT_DONE : EXIT_USAGE;
}

int failure(const CAbstractSaveStore::Outcome &outcome)
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

int verify(const CAbstractSaveStore &store, const QStringList &users)
{
    const CSaveVerifier verifier(store);
    int good = 0;
    int damaged = 0;
    int unchecked = 0;
    for (const QString &user : users) {
        CAbstractSaveStore::Outcome outcome;
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

bool folderEmpty(const QString &dir)
{
    return QDir(dir)
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
        .isEmpty();
}

// copy --to s3://... or --from s3://...: the saves of the storage folder into a bucket that
// holds none, or back; a count and a check of everything carried.
int copy(const QStringList &args)
{
    if (args.size() != 3
        || (args.at(1) != QLatin1String("--to") && args.at(1) != QLatin1String("--from")))
        return usage();
    const bool toBucket = args.at(1) == QLatin1String("--to");
    CServerSettings *settings = CServerSettings::instance();
    settings->load();
    CS3Config config;
    QString why;
    if (!CS3Config::fromUrl(args.at(2), CS3Config::urlBase(*settings), &config, &why)) {
        printErr(why);
        return exitcode::BAD_ARGUMENTS;
    }
    const QString folder = settings->saveDataDir;
    if (folder.isEmpty() || (toBucket && !QFileInfo(folder).isDir())) {
        printErr(translate("no storage folder %1 (set SaveDataDir in %2)")
                     .arg(folder, settings->iniFilePath()));
        return exitcode::NO_STORAGE;
    }
    const auto bucket = std::make_shared<CS3Bucket>(config);
    CS3SaveCopy carrier(bucket);
    bool empty = false;
    if (toBucket ? !carrier.bucketEmpty(&empty, &why) : false) {
        printErr(why);
        return EXIT_FAILED;
    }
    if (toBucket ? !empty : (QFileInfo::exists(folder) && !folderEmpty(folder))) {
        printErr(translate("%1 holds saves already; nothing copied")
                     .arg(toBucket ? config.displayText() : folder));
        return exitcode::TARGET_NOT_EMPTY;
    }
    qint64 shown = -1;
    carrier.setProgress([&shown](qint64 files, qint64 bytes, qint64 totalFiles, qint64) {
        if (files / 100 == shown && files != totalFiles)
            return;
        shown = files / 100;
        printErr(
            translate("%1 of %2 files, %3 MiB copied").arg(files).arg(totalFiles).arg(bytes >> 20));
    });
    QList<CS3SaveCopy::File> files;
    const bool copied = toBucket
        ? carrier.fromFolder(folder, &files, &why)
        : (QDir().mkpath(folder) && carrier.toFolder(folder, &files, &why));
    if (!copied) {
        printErr(translate("copy stopped after %1 files: %2").arg(files.size()).arg(why));
        return EXIT_FAILED;
    }
    const QStringList problems
        = toBucket ? carrier.checkBucket(files) : CS3SaveCopy::checkFolder(folder, files);
    for (const QString &problem : problems)
        printErr(problem);
    qint64 bytes = 0;
    for (const CS3SaveCopy::File &file : std::as_const(files))
        bytes += file.size;
    const QString from = toBucket ? QDir::cleanPath(folder) : config.displayText();
    const QString to = toBucket ? config.displayText() : QDir::cleanPath(folder);
    if (!problems.isEmpty()) {
        printErr(translate("copied %1 saves and versions from %2 to %3, but %4 do not match")
                     .arg(files.size())
                     .arg(from, to)
                     .arg(problems.size()));
        return EXIT_FAILED;
    }
    printOut(translate("Copied %1 saves and versions (%2 bytes) from %3 to %4; every one checked")
                 .arg(files.size())
                 .arg(bytes)
                 .arg(from, to));
    return EXIT_DONE;
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
    if (!args.isEmpty() && args.first() == QLatin1String("copy"))
        return copy(args);
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
    QString why;
    const std::unique_ptr<CAbstractSaveStore> opened
        = CAbstractSaveStore::fromSettings(*settings, &why);
    if (!opened) {
        printErr(translate("%1 (in %2)").arg(why, settings->iniFilePath()));
        return EXIT_FAILED;
    }
    CAbstractSaveStore &store = *opened;
    CAbstractSaveStore::Outcome outcome;

    if (which == 3) {
        // What uploads cut short left goes first, as at start; uploads in flight stay.
        const QString removed
            = all ? CStartupTidy::cutUploadsLine(store.removeCutUploads()) : QString();
        if (!removed.isEmpty()) {
            printErr(removed);
            CJournal::record(removed);
        }
        QString error;
        const QStringList users = all ? store.userFolders(&error) : QStringList { user };
        if (!error.isEmpty()) {
            printErr(error);
            return EXIT_FAILED;
        }
        return verify(store, users);
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
