#ifndef LOGINDURINGDELETE_H
#define LOGINDURINGDELETE_H

#include <QStringList>

// Login round trips through the real window's control port while the operator deletes
// selected users, beside the same round trips with the window idle. Returns the exit code.
int runLoginDuringDelete(const QStringList &arguments);

#endif // LOGINDURINGDELETE_H
