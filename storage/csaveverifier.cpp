#include "csaveverifier.h"

#include <QCoreApplication>

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

CSaveVerifier::CSaveVerifier(const CAbstractSaveStore &saveStore)
    : store(saveStore)
{
}

CSaveVerifier::Item CSaveVerifier::check(const CAbstractSaveStore::Check &read) const
{
    Item item;
    const QString &expected = read.expected;
    const QString &actual = read.actual;
    if (expected.isEmpty())
        return item; // kept from before sums: unchecked
    if (actual.isEmpty()) {
        item.state = State::Damaged;
        item.detail = translate("cannot be read: %1").arg(read.error);
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
    const QString &saveName, CAbstractSaveStore::Outcome *outcome) const
{
    Report report;
    report.saveName = saveName;
    const QList<CAbstractSaveStore::Entry> versions = store.history(saveName, outcome);
    if (outcome && !outcome->ok())
        return report;
    const CAbstractSaveStore::Check current = store.check(saveName, QString());
    if (current.present)
        report.items << check(current);
    for (const CAbstractSaveStore::Entry &e : versions) {
        Item item = check(store.check(saveName, e.name));
        item.version = e.name;
        if (item.state == State::Good && report.newestGood.isEmpty())
            report.newestGood = e.name;
        report.items << item;
    }
    return report;
}

QList<CSaveVerifier::Report> CSaveVerifier::verifyUser(
    const QString &userFolder, CAbstractSaveStore::Outcome *outcome) const
{
    QList<Report> out;
    for (const CAbstractSaveStore::Entry &e : store.saves(userFolder, outcome)) {
        CAbstractSaveStore::Outcome one;
        out << verify(userFolder + QLatin1Char('/') + e.name, &one);
    }
    return out;
}
