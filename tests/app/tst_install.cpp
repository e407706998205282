#include <csignal>

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include "cinikeys.h"
#include "cportreservation.h"
#include "tolvernversion.h"
#include "cserverprocess.h"
#include "testwire.h"

using namespace testwire;

// What an operator installs: "cmake --install" into a prefix, and the Debian package, held
// against Debian's and systemd's tools and run as its units run it.
class tst_Install : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void installedServerServesHeadless();
    void debianPackageLists();
    void packageLintianClean();
    void binariesHardened();
    void unitsConfined();
    void manPages();
    void unitsRunAsInstalled();

private:
    static int runTool(const QString &program, const QStringList &arguments, QByteArray *out);
    static QString tool(const char *name);
    QByteArray unpackedFile(const QString &path);
    QTemporaryDir dir;
    QString deb; // the package built once for every case
    QString unpacked; // its files
};

int tst_Install::runTool(const QString &program, const QStringList &arguments, QByteArray *out)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    if (!p.waitForFinished(240000))
        return -1;
    if (out)
        *out = p.readAll();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QString tst_Install::tool(const char *name)
{
    // Debian's python3 (with python3-seccomp), not one earlier on PATH.
    if (qstrcmp(name, "python3") == 0
        && QFileInfo(QStringLiteral("/usr/bin/python3")).isExecutable())
        return QStringLiteral("/usr/bin/python3");
    return QStandardPaths::findExecutable(QLatin1String(name));
}

QByteArray tst_Install::unpackedFile(const QString &path)
{
    QFile file(unpacked + path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray bytes = file.readAll();
    if (!path.endsWith(QLatin1String(".gz")))
        return bytes;
    QByteArray plain;
    QProcess gunzip;
    gunzip.start(QStringLiteral("gzip"), { QStringLiteral("-dc"), unpacked + path });
    gunzip.waitForFinished(30000);
    return gunzip.readAllStandardOutput();
}

void tst_Install::initTestCase()
{
    QVERIFY(dir.isValid());
    const QString packages = dir.filePath(QStringLiteral("deb"));
    QByteArray out;
    QCOMPARE(
        runTool(QStringLiteral(CPACK_COMMAND),
            { QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
                QStringLiteral(BUILD_DIR "/CPackConfig.cmake"), QStringLiteral("-B"), packages },
            &out),
        0);
    const QStringList debs = QDir(packages).entryList({ QStringLiteral("*.deb") });
    QCOMPARE(debs.size(), 1);
    deb = packages + QLatin1Char('/') + debs.first();
    unpacked = dir.filePath(QStringLiteral("root/pkg"));
    QVERIFY(QDir().mkpath(unpacked));
    QVERIFY2(
        runTool(QStringLiteral("dpkg-deb"), { QStringLiteral("-x"), deb, unpacked }, &out) == 0,
        out.constData());
    QCOMPARE(runTool(QStringLiteral("dpkg-deb"),
                 { QStringLiteral("-e"), deb, dir.filePath(QStringLiteral("root/control")) }, &out),
        0);
}

void tst_Install::installedServerServesHeadless()
{
    QVERIFY(dir.isValid());
    const QString prefix = dir.filePath(QStringLiteral("prefix"));
    QByteArray out;
    QCOMPARE(runTool(QStringLiteral(CMAKE_COMMAND),
                 { QStringLiteral("--install"), QStringLiteral(BUILD_DIR),
                     QStringLiteral("--prefix"), prefix },
                 &out),
        0);
    for (const char *file :
        { "bin/tolvern-server", "bin/tolvern-client", "share/applications/tolvern-server.desktop",
            "share/icons/hicolor/48x48/apps/tolvern-server.png", "lib/sysusers.d/tolvern.conf",
            "etc/tolvern/tolvern.ini", "share/doc/tolvern/copyright" })
        QVERIFY2(QFile::exists(prefix + QLatin1Char('/') + QLatin1String(file)), file);
    const QString unit = prefix + QStringLiteral("/lib/systemd/system/tolvern-server.service");
    QFile unitFile(unit);
    QVERIFY(unitFile.open(QIODevice::ReadOnly));
    const QByteArray unitText = unitFile.readAll();
    // The unit, the shipped ini and the admin commands agree on the ini.
    QVERIFY(unitText.contains("\nExecStart=" + prefix.toUtf8()
        + "/bin/tolvern-server --headless --config " + prefix.toUtf8()
        + "/etc/tolvern/tolvern.ini\n"));
    for (const char *line : { "Type=notify", "NotifyAccess=main", "WatchdogSec=30s",
             "ExecReload=/bin/kill -HUP $MAINPID", "RestartPreventExitStatus=2 64",
             "WorkingDirectory=/var/lib/tolvern" })
        QVERIFY2(unitText.contains(QByteArray("\n") + line + "\n"), line);
    // Nothing in the shipped ini that the server would not know; its folder is the package's.
    QCOMPARE(runTool(prefix + QStringLiteral("/bin/tolvern-server"),
                 { QStringLiteral("--check-config"),
                     prefix + QStringLiteral("/etc/tolvern/tolvern.ini") },
                 &out),
        QFileInfo::exists(QStringLiteral("/var/lib/tolvern/saves")) ? 0 : 2);
    for (const QByteArray &problem : out.trimmed().split('\n'))
        QVERIFY2(problem.endsWith("no problems found")
                || problem.endsWith("the folder /var/lib/tolvern/saves does not exist"),
            problem.constData());
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    const QString backupUnits = prefix + QStringLiteral("/lib/systemd/system/tolvern-backup.");
    QFile backupUnit(backupUnits + QStringLiteral("service"));
    QVERIFY(backupUnit.open(QIODevice::ReadOnly));
    // The daily backup reads the ini the service reads.
    const QByteArray backupText = backupUnit.readAll();
    QVERIFY2(backupText.contains("\nExecStart=" + prefix.toUtf8()
                 + "/bin/tolvern-server backup --into /var/lib/tolvern/backups --keep 7 --config "
                 + prefix.toUtf8() + "/etc/tolvern/tolvern.ini --workdir /var/lib/tolvern\n"),
        backupText.constData());
    if (!analyze.isEmpty()) {
        QCOMPARE(runTool(analyze,
                     { QStringLiteral("verify"), QStringLiteral("--man=no"), unit,
                         backupUnits + QStringLiteral("service"),
                         backupUnits + QStringLiteral("timer") },
                     &out),
            0);
        QVERIFY2(out.trimmed().isEmpty(), out.constData());
    }

    // The installed copy, started like the unit starts it.
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("state"))));
    const CPortReservation mainReservation;
    const CPortReservation fileReservation;
    const quint16 mainPort = mainReservation.port();
    const quint16 filePort = fileReservation.port();
    QVERIFY(mainPort && filePort);
    QProcess server;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : { "QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY" })
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.filePath(QStringLiteral("state")));
    server.setProcessEnvironment(env);
    server.setWorkingDirectory(dir.filePath(QStringLiteral("state")));
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(prefix + QStringLiteral("/bin/tolvern-server"),
        { QStringLiteral("--headless"), QStringLiteral("--config"),
            dir.filePath(QStringLiteral("state/tolvern.ini")), QStringLiteral("--storage"),
            dir.filePath(QStringLiteral("state/saves")), QStringLiteral("--main-port"),
            QString::number(mainPort), QStringLiteral("--file-port"), QString::number(filePort) });
    QVERIFY(QTest::qWaitFor([&] { return CServerProcess::portAccepts(mainPort, 200); }, 30000));
    QTcpSocket control;
    control.connectToHost(QHostAddress::LocalHost, mainPort);
    QVERIFY(control.waitForConnected(5000));
    control.write(packet(1, str("carol") + str("pw")));
    QCOMPARE(readPacket(control).body, QByteArray(1, '\0') + int32(1));
    QVERIFY(QFile::exists(dir.filePath(QStringLiteral("state/db/users.db"))));
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("state/saves"))).isDir());
    ::kill(pid_t(server.processId()), SIGTERM);
    QVERIFY(server.waitForFinished(15000));
    QCOMPARE(server.exitCode(), 0);
    QVERIFY(server.readAllStandardOutput().contains(" [ADD_USER] name=carol, result=0\n"));
}

void tst_Install::debianPackageLists()
{
    QByteArray out;
    QCOMPARE(runTool(QStringLiteral("dpkg-deb"), { QStringLiteral("-c"), deb }, &out), 0);
    for (const char *file : { "./usr/bin/tolvern-server", "./usr/bin/tolvern-client",
             "./usr/lib/systemd/system/tolvern-server.service",
             "./usr/lib/systemd/system/tolvern-backup.service",
             "./usr/lib/systemd/system/tolvern-backup.timer",
             "./usr/share/applications/tolvern-server.desktop",
             "./usr/share/icons/hicolor/48x48/apps/tolvern-server.png",
             "./usr/lib/sysusers.d/tolvern.conf", "./etc/tolvern/tolvern.ini",
             "./usr/share/man/man1/tolvern-server.1.gz", "./usr/share/man/man1/tolvern-client.1.gz",
             "./usr/share/man/man5/tolvern.ini.5.gz", "./usr/share/doc/tolvern/copyright",
             "./usr/share/doc/tolvern/changelog.gz",
             "./usr/share/doc/tolvern/docs/operations.md.gz" })
        QVERIFY2(out.contains(QByteArray(" ") + file + "\n"), file);
    QCOMPARE(runTool(QStringLiteral("dpkg-deb"),
                 { QStringLiteral("-f"), deb, QStringLiteral("Depends") }, &out),
        0);
    // Computed from the binaries, plus the driver plugin no binary links.
    QVERIFY2(
        out.contains("libqt6core6") && out.contains("libc6") && out.contains("libqt6sql6-sqlite"),
        out.constData());
    QCOMPARE(runTool(QStringLiteral("dpkg-deb"),
                 { QStringLiteral("-f"), deb, QStringLiteral("Recommends") }, &out),
        0);
    QVERIFY2(out.contains("libqt6sql6-psql"), out.constData());
    // Stripped: no debug sections left in the shipped server.
    QCOMPARE(
        runTool(QStringLiteral("objdump"),
            { QStringLiteral("-h"), unpacked + QStringLiteral("/usr/bin/tolvern-server") }, &out),
        0);
    QVERIFY2(!out.contains(".debug_info"), "the packaged server carries debug information");
    QCOMPARE(runTool(QStringLiteral("dpkg-deb"),
                 { QStringLiteral("-I"), deb, QStringLiteral("postinst") }, &out),
        0);
    QVERIFY(out.contains("systemd-sysusers"));
    // Removing the package stops the service first; the operator's edits to the ini survive
    // upgrades.
    QCOMPARE(runTool(QStringLiteral("dpkg-deb"),
                 { QStringLiteral("-I"), deb, QStringLiteral("prerm") }, &out),
        0);
    QVERIFY2(out.contains("deb-systemd-invoke stop tolvern-server.service"), out.constData());
    QCOMPARE(runTool(QStringLiteral("dpkg-deb"),
                 { QStringLiteral("-I"), deb, QStringLiteral("postrm") }, &out),
        0);
    QVERIFY(out.contains("daemon-reload"));
    QCOMPARE(runTool(QStringLiteral("dpkg-deb"),
                 { QStringLiteral("-I"), deb, QStringLiteral("conffiles") }, &out),
        0);
    QCOMPARE(out.trimmed(), QByteArray("/etc/tolvern/tolvern.ini"));
    // The man pages are made from the programs' --help and --version, and the table of keys.
    for (const char *program : { "tolvern-server", "tolvern-client" }) {
        const QByteArray page = unpackedFile(
            QStringLiteral("/usr/share/man/man1/%1.1.gz").arg(QLatin1String(program)));
        QVERIFY2(page.contains(QByteArray("\"") + program + " " TOLVERN_VERSION "\"")
                && page.contains("\\-\\-help"),
            program);
    }
}

void tst_Install::manPages()
{
    // Every section and key the server checks an ini against, with its default.
    const QByteArray ini = unpackedFile(QStringLiteral("/usr/share/man/man5/tolvern.ini.5.gz"));
    QVERIFY(ini.startsWith(".TH TOLVERN.INI 5 "));
    for (const CIniKeys::Section &section : CIniKeys::sections())
        QVERIFY2(ini.contains(QByteArray(".SH \"[") + section.name + "]\"\n"), section.name);
    for (const CIniKeys::Key &key : CIniKeys::keys()) {
        const QByteArray entry = QByteArray(".TP\n.B ") + key.name + '\n';
        const qsizetype at = ini.indexOf(entry);
        QVERIFY2(at > 0, key.name);
        const QByteArray text = ini.mid(at, ini.indexOf(".TP", at + 1) - at);
        if (*key.defaultText)
            QVERIFY2(text.contains(
                         QByteArray("Default: ") + QByteArray(key.defaultText).replace("-", "\\-")),
                text.constData());
    }
    // Synopses as written, not help2man's reading of the usage lines.
    for (const char *program : { "tolvern-server", "tolvern-client" }) {
        const QByteArray page = unpackedFile(
            QStringLiteral("/usr/share/man/man1/%1.1.gz").arg(QLatin1String(program)));
        const qsizetype synopsis = page.indexOf(".SH SYNOPSIS\n");
        QVERIFY2(synopsis > 0, program);
        const QByteArray text = page.mid(synopsis, page.indexOf(".SH", synopsis + 1) - synopsis);
        QVERIFY2(text.contains(QByteArray(".B ") + QByteArray(program).replace("-", "\\-") + '\n')
                && !text.contains("Usage") && !text.contains("[OPTION]"),
            text.constData());
    }
    // man itself reads all three without complaint.
    if (tool("man").isEmpty())
        return;
    for (const char *page :
        { "man1/tolvern-server.1.gz", "man1/tolvern-client.1.gz", "man5/tolvern.ini.5.gz" }) {
        QProcess man;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("MANWIDTH"), QStringLiteral("80"));
        man.setProcessEnvironment(env);
        man.start(tool("man"),
            { QStringLiteral("--warnings"), QStringLiteral("-E"), QStringLiteral("UTF-8"),
                QStringLiteral("-l"),
                unpacked + QStringLiteral("/usr/share/man/") + QLatin1String(page) });
        QVERIFY(man.waitForFinished(60000));
        const QByteArray warnings = man.readAllStandardError();
        QVERIFY2(man.exitCode() == 0 && warnings.isEmpty(),
            (page + QByteArray(": ") + warnings).constData());
    }
}

void tst_Install::packageLintianClean()
{
    if (!TOLVERN_HARDENED)
        QSKIP("a Debug or sanitizer build, without Debian's hardening flags: no package to ship");
    if (tool("lintian").isEmpty())
        QSKIP("lintian is not installed (scripts/deps.sh installs it with the test set)");
    QByteArray out;
    // Errors and warnings fail; notes and pedantic remarks do not.
    const int code = runTool(tool("lintian"),
        { QStringLiteral("--fail-on"), QStringLiteral("error,warning"),
            QStringLiteral("--tag-display-limit"), QStringLiteral("0"), deb },
        &out);
    QVERIFY2(code == 0, out.constData());
}

void tst_Install::binariesHardened()
{
    if (!TOLVERN_HARDENED)
        QSKIP("a Debug or sanitizer build, without Debian's hardening flags");
    // What Debian's hardening flags leave in a binary: read-only relocations bound at start,
    // a position-independent executable, fortified C library calls and the stack protector.
    for (const char *program : { "tolvern-server", "tolvern-client" }) {
        const QString binary = unpacked + QStringLiteral("/usr/bin/") + QLatin1String(program);
        QByteArray out;
        QCOMPARE(runTool(QStringLiteral("readelf"),
                     { QStringLiteral("-W"), QStringLiteral("-l"), QStringLiteral("-d"),
                         QStringLiteral("--dyn-syms"), binary },
                     &out),
            0);
        QVERIFY2(out.contains("GNU_RELRO"), program);
        QVERIFY2(out.contains("(BIND_NOW)") || out.contains("Flags: NOW"), program);
        QVERIFY2(out.contains("(FLAGS_1)") && out.contains("PIE"), program);
        QVERIFY2(out.contains("__stack_chk_fail"), program);
        // Fortified calls where the program makes calls that can be (lintian checks both).
        if (qstrcmp(program, "tolvern-server") == 0)
            QVERIFY2(out.contains("__memcpy_chk@") || out.contains("__read_chk@"), program);
    }
}

void tst_Install::unitsConfined()
{
    const QString analyze = tool("systemd-analyze");
    if (analyze.isEmpty())
        QSKIP("systemd-analyze is not installed");
    for (const char *unit : { "tolvern-server.service", "tolvern-backup.service" }) {
        QByteArray out;
        QCOMPARE(
            runTool(analyze,
                { QStringLiteral("security"), QStringLiteral("--offline=yes"),
                    QStringLiteral("--no-pager"),
                    unpacked + QStringLiteral("/usr/lib/systemd/system/") + QLatin1String(unit) },
                &out),
            0);
        const QRegularExpression level(
            QStringLiteral("Overall exposure level for \\S+: ([0-9.]+)"));
        const QRegularExpressionMatch match = level.match(QString::fromUtf8(out));
        QVERIFY2(match.hasMatch(), out.constData());
        QVERIFY2(match.captured(1).toDouble() <= 2.5, out.constData());
        for (const char *setting : { "SystemCallFilter=~@privileged", "CapabilityBoundingSet=~",
                 "ProtectProc=", "ProcSubset=", "PrivateUsers=", "RemoveIPC=" }) {
            // Each such line starts with a check mark when the unit sets it.
            const qsizetype at = out.indexOf(setting);
            QVERIFY2(at > 0 && out.lastIndexOf('\n', at) + 1 < at
                    && out.mid(out.lastIndexOf('\n', at) + 1, at - out.lastIndexOf('\n', at) - 1)
                           .startsWith("\xe2\x9c\x93"),
                setting);
        }
    }
}

namespace {

// Runs commands inside the namespace that scratchroot.sh holds.
class CScratchRoot
{
public:
    explicit CScratchRoot(const QString &rootDir)
        : root(rootDir)
    {
    }
    ~CScratchRoot()
    {
        if (holder.state() != QProcess::NotRunning) {
            holder.kill();
            holder.waitForFinished(10000);
        }
    }

    bool start(QString *why)
    {
        holder.start(QStringLiteral("unshare"),
            { QStringLiteral("--mount"), QStringLiteral("--net"), QStringLiteral("sh"),
                QStringLiteral(TOLVERN_TEST_DIR "/scratchroot.sh"), root });
        if (!holder.waitForReadyRead(30000) || !holder.readAllStandardOutput().contains("ready")) {
            *why = QString::fromLocal8Bit(holder.readAllStandardError());
            return false;
        }
        return true;
    }
    QStringList enter(const QStringList &command) const
    {
        return QStringList { QStringLiteral("-t"), QString::number(holder.processId()),
            QStringLiteral("-m"), QStringLiteral("-n"), QStringLiteral("--") }
        + command;
    }
    // The exit status; stdout in out, stderr in err.
    int run(const QStringList &command, QByteArray *out = nullptr, QByteArray *err = nullptr)
    {
        QProcess p;
        p.start(QStringLiteral("nsenter"), enter(command));
        if (!p.waitForFinished(120000))
            return -1;
        if (out)
            *out = p.readAllStandardOutput();
        const QByteArray errors = p.readAllStandardError();
        if (err)
            *err = errors;
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    // What the installed HTTP port answers to a status request with token.
    int httpStatus(const QByteArray &token)
    {
        QByteArray out;
        run({ QStringLiteral("/usr/bin/python3"), QStringLiteral("-c"),
                QStringLiteral("import sys, urllib.request, urllib.error\n"
                               "r = urllib.request.Request('http://127.0.0.1:8080/api/v1/status',"
                               " headers={'Authorization': 'Bearer ' + sys.argv[1]})\n"
                               "try:\n    print(urllib.request.urlopen(r, timeout=10).status)\n"
                               "except urllib.error.HTTPError as e:\n    print(e.code)\n"
                               "except OSError:\n    print(0)\n"),
                QString::fromLatin1(token) },
            &out);
        return out.trimmed().toInt();
    }

private:
    QString root;
    QProcess holder;
};

const QString UNITS = QStringLiteral("/usr/lib/systemd/system/");

} // namespace

void tst_Install::unitsRunAsInstalled()
{
    // The package's files are seen at their places in a mount and network namespace of the
    // test's own, and every unit's command runs as its unit says: only root may do that.
    if (::geteuid() != 0)
        QSKIP("needs root to mount the package's files in a namespace of its own");
    for (const char *name : { "unshare", "nsenter", "ip", "runuser", "systemd-sysusers",
             "systemd-analyze", "python3" }) {
        if (tool(name).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(name))));
    }
    if (runTool(
            tool("python3"), { QStringLiteral("-c"), QStringLiteral("import seccomp") }, nullptr))
        QSKIP("python3-seccomp is not installed (scripts/deps.sh installs it with the test set)");
    CScratchRoot root(dir.filePath(QStringLiteral("root")));
    QString why;
    QVERIFY2(root.start(&why), qPrintable(why));
    QByteArray out;
    QByteArray err;
    const auto says = [&] { return (out + err).constData(); };
    // As dpkg configures the package.
    QVERIFY2(root.run({ QStringLiteral("sh"), dir.filePath(QStringLiteral("root/control/postinst")),
                          QStringLiteral("configure") },
                 &out, &err)
            == 0,
        says());
    // The operator's first look finds the package's ini without being told.
    QVERIFY2(
        root.run({ QStringLiteral("tolvern-server"), QStringLiteral("--check-config") }, &out, &err)
            == 0,
        says());
    QVERIFY2(out.contains("/etc/tolvern/tolvern.ini: no problems found"), says());
    for (const QString &unit : { QStringLiteral("tolvern-server.service"),
             QStringLiteral("tolvern-backup.service"), QStringLiteral("tolvern-backup.timer") }) {
        QVERIFY2(root.run({ QStringLiteral("systemd-analyze"), QStringLiteral("verify"),
                              QStringLiteral("--man=no"), UNITS + unit },
                     &out, &err)
                == 0,
            says());
        QVERIFY2(err.trimmed().isEmpty(), says());
    }
    QVERIFY(root.run({ QStringLiteral("sh"), QStringLiteral("-c"),
                QStringLiteral("printf '[Admin]\\nHttpPort=8080\\n' >> /etc/tolvern/tolvern.ini") })
        == 0);

    // The service as its unit starts it: the unit's user, folders, filter and confinement.
    QProcess service;
    service.setProcessChannelMode(QProcess::MergedChannels);
    service.start(QStringLiteral("nsenter"),
        root.enter({ tool("python3"), QStringLiteral(TOLVERN_TEST_DIR "/unitrun.py"),
            UNITS + QStringLiteral("tolvern-server.service") }));
    QByteArray log;
    const auto ready = [&] {
        service.waitForReadyRead(200);
        log += service.readAll();
        return log.contains("NOTIFY READY=1") || service.state() == QProcess::NotRunning;
    };
    QVERIFY2(QTest::qWaitFor(ready, 60000) && log.contains("NOTIFY READY=1"), log.constData());
    const QRegularExpressionMatch mainPid
        = QRegularExpression(QStringLiteral("MAINPID=(\\d+)")).match(QString::fromLatin1(log));
    QVERIFY(mainPid.hasMatch());
    const pid_t pid = pid_t(mainPid.captured(1).toInt());
    auto stop = qScopeGuard([&] {
        ::kill(pid, SIGKILL);
        service.waitForFinished(10000);
    });

    // A player, and a save, through the installed client on the default ports.
    QVERIFY2(root.run({ QStringLiteral("tolvern-client"), QStringLiteral("add-user"),
                          QStringLiteral("alice"), QStringLiteral("pw") },
                 &out, &err)
            == 0,
        says());
    QVERIFY2(out.trimmed().endsWith("object id 1"), out.constData());
    QFile save(dir.filePath(QStringLiteral("save.bin")));
    QVERIFY(save.open(QIODevice::WriteOnly) && save.write(QByteArray(5000, 's')) == 5000);
    save.close();
    QVERIFY2(root.run({ QStringLiteral("tolvern-client"), QStringLiteral("upload"),
                          QStringLiteral("1/slot1"), save.fileName(), QStringLiteral("--user"),
                          QStringLiteral("alice") },
                 &out, &err)
            == 0,
        says());
    // Root's admin commands find the service's database and saves without options.
    QVERIFY2(root.run({ QStringLiteral("tolvern-server"), QStringLiteral("users"),
                          QStringLiteral("list") },
                 &out, &err)
                == 0
            && out.contains("alice"),
        says());
    QVERIFY2(root.run({ QStringLiteral("tolvern-server"), QStringLiteral("saves"),
                          QStringLiteral("list"), QStringLiteral("1") },
                 &out, &err)
                == 0
            && out.startsWith("slot1\t5000\t"),
        says());

    // A token made by root, then one by the service's account: each taken at SIGHUP, the
    // one before no more.
    QByteArray previous;
    for (const QStringList &as : { QStringList(),
             QStringList { QStringLiteral("runuser"), QStringLiteral("-u"),
                 QStringLiteral("tolvern"), QStringLiteral("--") } }) {
        QVERIFY2(root.run(as
                         + QStringList { QStringLiteral("tolvern-server"), QStringLiteral("admin"),
                             QStringLiteral("token") },
                     &out, &err)
                == 0,
            says());
        const QByteArray token = out.trimmed();
        QVERIFY2(err.contains("its hash is in /etc/tolvern/tolvern.ini"), says());
        ::kill(pid, SIGHUP);
        QTRY_COMPARE_WITH_TIMEOUT(root.httpStatus(token), 200, 30000);
        if (!previous.isEmpty())
            QCOMPARE(root.httpStatus(previous), 401);
        previous = token;
        // The ini stays the service's to read, as the package left it.
        QVERIFY(root.run({ QStringLiteral("stat"), QStringLiteral("-c"), QStringLiteral("%G %a"),
                             QStringLiteral("/etc/tolvern/tolvern.ini") },
                    &out)
            == 0);
        QCOMPARE(out.trimmed(), QByteArray("tolvern 660"));
    }

    // The daily backup as its unit runs it, beside the running service, and its check.
    QVERIFY2(root.run({ tool("python3"), QStringLiteral(TOLVERN_TEST_DIR "/unitrun.py"),
                          UNITS + QStringLiteral("tolvern-backup.service") },
                 &out, &err)
            == 0,
        says());
    QVERIFY2(root.run({ QStringLiteral("sh"), QStringLiteral("-c"),
                          QStringLiteral("for b in /var/lib/tolvern/backups/tolvern-backup-*; do "
                                         "tolvern-server backup verify \"$b\" || exit 1; done") },
                 &out, &err)
            == 0,
        says());

    // Stopped as systemctl stops it.
    ::kill(pid, SIGTERM);
    QVERIFY(service.waitForFinished(30000));
    log += service.readAll();
    QVERIFY2(log.contains("EXIT=0"), log.constData());
    stop.dismiss();
}

QTEST_GUILESS_MAIN(tst_Install)
#include "tst_install.moc"
