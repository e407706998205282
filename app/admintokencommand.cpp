#include "admintokencommand.h"

#include <cstdio>

#include "cadmintoken.h"
#include "cserversettings.h"
#include "exitcodes.h"

namespace {

const char USAGE[] = "Usage: tolvern-server admin token [--config FILE]\n"
                     "Prints a new bearer token for the HTTP port ([Admin] HttpPort) and keeps\n"
                     "only its hash in the ini ([Admin] TokenHash); the previous token stops\n"
                     "working once a running server reloads (SIGHUP, systemctl reload).\n";

} // namespace

int runAdminCommand(const QStringList &arguments)
{
    if (arguments.contains(QLatin1String("--help")) || arguments.contains(QLatin1String("-h"))) {
        std::fputs(USAGE, stdout);
        return exitcode::OK;
    }
    if (arguments != QStringList { QStringLiteral("token") }) {
        std::fputs(USAGE, stderr);
        return exitcode::USAGE;
    }
    const QString ini = CServerSettings::instance()->iniFilePath();
    const QByteArray token = CAdminToken::generate();
    QString error;
    if (!CServerSettings::writeTokenHash(ini, CAdminToken::hash(token), &error)) {
        std::fprintf(stderr, "tolvern-server: cannot write the token's hash to %s: %s\n",
            qPrintable(ini), qPrintable(error));
        return exitcode::FAILED;
    }
    // The token itself is shown once, here, and kept nowhere.
    std::fprintf(stdout, "%s\n", token.constData());
    std::fprintf(stderr,
        "tolvern-server: its hash is in %s; a running server takes it at SIGHUP "
        "(systemctl reload tolvern-server)\n",
        qPrintable(ini));
    return exitcode::OK;
}
