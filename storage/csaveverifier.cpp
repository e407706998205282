#include "csaveverifier.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <QFile>

#include "csavesum.h"

namespace {

QString translate(const char *text)
{
    return QCoreApplication::translate("CSaveVerifier", text);
}

} // namespace

bool CSaveVerifier::Report::damaged() const
{
    for (const Item &item : items) {
        if (item.state == State::Damaged)
            return true;
    }
    return false;
}

CSaveVerifier::CSaveVerifier(const CSaveStore &saveStore)
    : store(saveStore)
{
}

CSaveVerifier::Item CSaveVerifier::check(const QString &path, const QString &expected) const
{
    Item item;
    if (expected.isEmpty())
        return item; // kept from before sums: unchecked
    QString error;
    const QString actual = CSaveSum::compute(path, CSaveSum::kindOf(expected), &error);
    if (actual.isEmpty()) {
        item.state = State::Damaged;
        item.detail = translate("cannot be read: %1").arg(error);
    } else if (!CSaveSum::isValid(expected)) {
        item.state = State::Damaged;
        item.detail = translate("its sum file is damaged");
    } else if (actual != expected) {
        item.state = State::Damaged;
        item.detail
            = translate("%1 %2, recorded %3").arg(CSaveSum::kindName(expected), actual, expected);
    } else {
        item.state = State::Good;
    }
    return item;
}

CSaveVerifier::Report CSaveVerifier::verify(
    const QString &saveName, CSaveStore::Outcome *outcome) const
{
    Report report;
    report.saveName = saveName;
    const QList<CSaveStore::Entry> versions = store.history(saveName, outcome);
    if (outcome && !outcome->ok())
        return report;
    const QString archive = CSaveStore::archiveName(saveName);
    const QString path = store.storageDirectory() + archive;
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
        // Checked against the sum of that very file, as a download is.
        report.items << check(path, store.recordedSum(archive, st.st_dev, st.st_ino));
    }
    for (const CSaveStore::Entry &e : versions) {
        const QString version = store.versionPath(saveName, e.name);
        Item item = check(version, CSaveSum::read(version));
        item.version = e.name;
        if (item.state == State::Good && report.newestGood.isEmpty())
            report.newestGood = e.name;
        report.items << item;
    }
    return report;
}

QList<CSaveVerifier::Report> CSaveVerifier::verifyUser(
    const QString &userFolder, CSaveStore::Outcome *outcome) const
{
    QList<Report> out;
    for (const CSaveStore::Entry &e : store.saves(userFolder, outcome)) {
        CSaveStore::Outcome one;
        out << verify(userFolder + QLatin1Char('/') + e.name, &one);
    }
    return out;
}
