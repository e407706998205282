#ifndef ADMINTOKENCOMMAND_H
#define ADMINTOKENCOMMAND_H

#include <QStringList>

// "tolvern-server admin token": a new bearer token for the HTTP port on stdout, its hash in
// the ini. Returns the exit code.
int runAdminCommand(const QStringList &arguments);

#endif // ADMINTOKENCOMMAND_H
