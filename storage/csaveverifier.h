#ifndef CSAVEVERIFIER_H
#define CSAVEVERIFIER_H

#include <QList>
#include <QString>

#include "cabstractsavestore.h"

// Reads a save's archive and every version of it again and checks each against the sum kept
// for it (CSaveSum, or an object's metadata): the admin's look for damage at rest, which a
// download only finds when someone asks for that save.
class CSaveVerifier
{
public:
    enum class State { Good, Damaged, Unchecked };

    struct Item
    {
        QString version; // empty for the current archive
        State state = State::Unchecked;
        QString detail; // why, when damaged
    };

    struct Report
    {
        QString saveName; // as on the wire (7/slot1)
        QList<Item> items; // the current archive (when there is one) first, then newest first
        QString newestGood; // the newest good version, which a restore can bring back
        bool damaged() const;
    };

    explicit CSaveVerifier(const CAbstractSaveStore &store);

    Report verify(const QString &saveName, CAbstractSaveStore::Outcome *outcome = nullptr) const;
    // Every save of the user folder, by name.
    QList<Report> verifyUser(const QString &userFolder, CAbstractSaveStore::Outcome *outcome) const;

private:
    Item check(const CAbstractSaveStore::Check &read) const;

    const CAbstractSaveStore &store;
};

#endif // CSAVEVERIFIER_H
