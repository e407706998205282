#include <csignal>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include "cportreservation.h"
#include "tolvernversion.h"
#include "cserverprocess.h"
#include "testwire.h"

using namespace testwire;

// What an operator installs: "cmake --install" into a prefix, and the Debian package.
class tst_Install : public QObject
{
    Q_OBJECT

private slots:
    void installedServerServesHeadless();
    void debianPackageLists();

private:
    static int runTool(const QString &program, const QStringList &arguments, QByteArray *out);
    QTemporaryDir dir;
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
    QVERIFY(backupUnit.readAll().contains(
        "\nExecStart=" + prefix.toUtf8() + "/bin/tolvern-server backup --into "));
    if (!analyze.isEmpty()) {
        QCOMPARE(runTool(analyze,
                     { QStringLiteral("verify"), unit, backupUnits + QStringLiteral("service"),
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
    QVERIFY(dir.isValid());
    const QString packages = dir.filePath(QStringLiteral("deb"));
    QByteArray out;
    QCOMPARE(runTool(QStringLiteral(CPACK_COMMAND),
                 { QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
                     QStringLiteral(BUILD_DIR "/CPackConfig.cmake"), QStringLiteral("-B"), packages,
                     // Compressing large debug binaries would take minutes and test nothing.
                     QStringLiteral("-D"), QStringLiteral("CPACK_DEBIAN_COMPRESSION_TYPE=none") },
                 &out),
        0);
    const QStringList debs = QDir(packages).entryList({ QStringLiteral("*.deb") });
    QCOMPARE(debs.size(), 1);
    const QString deb = packages + QLatin1Char('/') + debs.first();
    QCOMPARE(runTool(QStringLiteral("dpkg-deb"), { QStringLiteral("-c"), deb }, &out), 0);
    for (const char *file : { "./usr/bin/tolvern-server", "./usr/bin/tolvern-client",
             "./usr/lib/systemd/system/tolvern-server.service",
             "./usr/lib/systemd/system/tolvern-backup.service",
             "./usr/lib/systemd/system/tolvern-backup.timer",
             "./usr/share/applications/tolvern-server.desktop",
             "./usr/share/icons/hicolor/48x48/apps/tolvern-server.png",
             "./usr/lib/sysusers.d/tolvern.conf", "./etc/tolvern/tolvern.ini",
             "./usr/share/man/man1/tolvern-server.1.gz", "./usr/share/man/man1/tolvern-client.1.gz",
             "./usr/share/doc/tolvern/copyright", "./usr/share/doc/tolvern/changelog.Debian.gz" })
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
    const QString unpacked = dir.filePath(QStringLiteral("unpacked"));
    QCOMPARE(runTool(QStringLiteral("dpkg-deb"), { QStringLiteral("-x"), deb, unpacked }, &out), 0);
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
    // The man pages are made from the programs' --help and --version.
    for (const char *program : { "tolvern-server", "tolvern-client" }) {
        QCOMPARE(runTool(QStringLiteral("gzip"),
                     { QStringLiteral("-dc"),
                         unpacked
                             + QStringLiteral("/usr/share/man/man1/%1.1.gz")
                                   .arg(QLatin1String(program)) },
                     &out),
            0);
        QVERIFY2(out.contains(QByteArray("\"") + program + " " TOLVERN_VERSION "\"")
                && out.contains("\\-\\-help"),
            program);
    }
}

QTEST_GUILESS_MAIN(tst_Install)
#include "tst_install.moc"
