#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include "csavesum.h"
#include "csha256.h"
#include "storagehelpers.h"
#include "unprivileged.h"

class tst_StorageHelpers : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // autostart entry
    void runValueWritten();
    void runValueQuoting_data();
    void runValueQuoting();
    void runValuePathIsWorkingDirectory_data();
    void runValuePathIsWorkingDirectory();
    void runValueReplacedAndRemoved();
    void runValueWithoutXdgConfigHome();
    void runValueNameCannotLeaveFolder();

    // tree delete, happy flows
    void deletesNestedTree();
    void deletesReadOnlyEntries();
    void linksAreRemovedNotFollowed();
    void linkGivenAsDirectoryIsRemovedAlone();
    void trailingSlash();

    // tree delete, rainy-day flows
    void missingDirectory_data();
    void missingDirectory();
    void stopsAtFirstEntryItCannotRemove();

    // SHA-256 in pieces and of a file
    void saveSums_data();
    void saveSums();

private:
    QString entryFile() const;
    QByteArray readEntry() const;
    bool makeFile(const QString &path, const QByteArray &bytes = QByteArrayLiteral("x"));

    QTemporaryDir *temp = nullptr;
    QByteArray oldXdg;
    QByteArray oldHome;
};

void tst_StorageHelpers::init()
{
    temp = new QTemporaryDir;
    QVERIFY(temp->isValid());
    oldXdg = qgetenv("XDG_CONFIG_HOME");
    oldHome = qgetenv("HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(temp->filePath(QStringLiteral("config"))));
}

void tst_StorageHelpers::cleanup()
{
    qputenv("XDG_CONFIG_HOME", oldXdg);
    qputenv("HOME", oldHome);
    delete temp;
    temp = nullptr;
}

QString tst_StorageHelpers::entryFile() const
{
    return temp->filePath(QStringLiteral("config/autostart/Ombrivale_Tolvern.desktop"));
}

QByteArray tst_StorageHelpers::readEntry() const
{
    QFile file(entryFile());
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool tst_StorageHelpers::makeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

void tst_StorageHelpers::runValueWritten()
{
    const QString data
        = QLatin1Char('"') + QCoreApplication::applicationFilePath() + QLatin1Char('"');
    // The autostart folder does not exist yet.
    QVERIFY(!QFileInfo::exists(temp->filePath(QStringLiteral("config"))));
    QVERIFY(writeRunValue(QStringLiteral("Ombrivale_Tolvern"), data));

    const QList<QByteArray> lines = readEntry().split('\n');
    QCOMPARE(lines.value(0), QByteArray("[Desktop Entry]"));
    QVERIFY(lines.contains("Type=Application"));
    QVERIFY(lines.contains("Name=Ombrivale_Tolvern"));
    QVERIFY(lines.contains("Exec=" + data.toUtf8()));
    QVERIFY(data.startsWith(QLatin1Char('"')) && data.endsWith(QLatin1Char('"')));
}

void tst_StorageHelpers::runValueQuoting_data()
{
    QTest::addColumn<QString>("data");
    QTest::addColumn<QByteArray>("exec");

    QTest::newRow("plain") << "\"/usr/bin/tolvern-server\""
                           << QByteArray("\"/usr/bin/tolvern-server\"");
    QTest::newRow("blank") << "\"/opt/my games/tolvern-server\""
                           << QByteArray("\"/opt/my games/tolvern-server\"");
    // Inside quotes ", `, $ and \ take a backslash, which the string escape then doubles.
    QTest::newRow("dollar") << "\"/opt/a$b/x\"" << QByteArray("\"/opt/a\\\\$b/x\"");
    QTest::newRow("backquote") << "\"/opt/a`b/x\"" << QByteArray("\"/opt/a\\\\`b/x\"");
    QTest::newRow("backslash") << "\"/opt/a\\b/x\"" << QByteArray("\"/opt/a\\\\\\\\b/x\"");
    QTest::newRow("quote") << "\"/opt/a\"b/x\"" << QByteArray("\"/opt/a\\\\\"b/x\"");
    QTest::newRow("percent") << "\"/opt/100%/x\"" << QByteArray("\"/opt/100%%/x\"");
    QTest::newRow("newline") << "\"/opt/a\nb\"" << QByteArray("\"/opt/a\\nb\"");
    QTest::newRow("utf8") << "\"/opt/sp\u00e4t/x\"" << QByteArray("\"/opt/sp\xc3\xa4t/x\"");
}

void tst_StorageHelpers::runValueQuoting()
{
    QFETCH(QString, data);
    QFETCH(QByteArray, exec);

    QVERIFY(writeRunValue(QStringLiteral("Ombrivale_Tolvern"), data));
    const QList<QByteArray> lines = readEntry().split('\n');
    QVERIFY2(lines.contains("Exec=" + exec), readEntry().constData());
    // The escaped text never breaks the entry into extra lines.
    QCOMPARE(lines.size(), 8);
}

void tst_StorageHelpers::runValuePathIsWorkingDirectory_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QByteArray>("escaped");

    QTest::newRow("plain") << "work" << QByteArray("work");
    QTest::newRow("blank") << "my work" << QByteArray("my work");
    // A string value: only the backslash is escaped; % and quotes are taken as they are.
    QTest::newRow("backslash") << "a\\b" << QByteArray("a\\\\b");
    QTest::newRow("percent and quote") << "100% \"x\"" << QByteArray("100% \"x\"");
}

void tst_StorageHelpers::runValuePathIsWorkingDirectory()
{
    QFETCH(QString, folder);
    QFETCH(QByteArray, escaped);

    const QString work = temp->filePath(folder);
    QVERIFY(QDir().mkpath(work));
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(work));
    const bool written
        = writeRunValue(QStringLiteral("Ombrivale_Tolvern"), QStringLiteral("\"/x\""));
    QVERIFY(QDir::setCurrent(before));
    QVERIFY(written);
    // An autostarted server starts where this one runs, so it opens the same db/users.db.
    const QList<QByteArray> lines = readEntry().split('\n');
    QVERIFY2(lines.contains("Path=" + QFile::encodeName(temp->path()) + '/' + escaped),
        readEntry().constData());
}

void tst_StorageHelpers::runValueReplacedAndRemoved()
{
    QVERIFY(writeRunValue(QStringLiteral("Ombrivale_Tolvern"), QStringLiteral("\"/old\"")));
    QVERIFY(writeRunValue(QStringLiteral("Ombrivale_Tolvern"), QStringLiteral("\"/new\"")));
    const QList<QByteArray> lines = readEntry().split('\n');
    QVERIFY(lines.contains("Exec=\"/new\""));
    QVERIFY(!lines.contains("Exec=\"/old\""));

    const QString other = temp->filePath(QStringLiteral("config/autostart/other.desktop"));
    QVERIFY(makeFile(other));
    deleteRunValue(QStringLiteral("Ombrivale_Tolvern"));
    QVERIFY(!QFileInfo::exists(entryFile()));
    QVERIFY(QFileInfo::exists(other));
    // A missing entry is no error and touches nothing.
    deleteRunValue(QStringLiteral("Ombrivale_Tolvern"));
    QVERIFY(QFileInfo::exists(other));
}

void tst_StorageHelpers::runValueWithoutXdgConfigHome()
{
    qunsetenv("XDG_CONFIG_HOME");
    qputenv("HOME", QFile::encodeName(temp->filePath(QStringLiteral("home"))));
    QVERIFY(writeRunValue(QStringLiteral("Ombrivale_Tolvern"), QStringLiteral("\"/x\"")));
    const QString entry
        = temp->filePath(QStringLiteral("home/.config/autostart/Ombrivale_Tolvern.desktop"));
    QVERIFY(QFileInfo::exists(entry));
    deleteRunValue(QStringLiteral("Ombrivale_Tolvern"));
    QVERIFY(!QFileInfo::exists(entry));

    // A relative value does not count either.
    qputenv("XDG_CONFIG_HOME", "relative/config");
    QVERIFY(writeRunValue(QStringLiteral("Ombrivale_Tolvern"), QStringLiteral("\"/x\"")));
    QVERIFY(QFileInfo::exists(entry));
    QVERIFY(!QFileInfo::exists(QStringLiteral("relative/config")));
}

void tst_StorageHelpers::runValueNameCannotLeaveFolder()
{
    QVERIFY(!writeRunValue(QStringLiteral("../escaped"), QStringLiteral("\"/x\"")));
    QVERIFY(!writeRunValue(QString(), QStringLiteral("\"/x\"")));
    QVERIFY(!QFileInfo::exists(temp->filePath(QStringLiteral("config/escaped.desktop"))));

    const QString victim = temp->filePath(QStringLiteral("config/victim.desktop"));
    QVERIFY(QDir().mkpath(temp->filePath(QStringLiteral("config/autostart"))));
    QVERIFY(makeFile(victim));
    deleteRunValue(QStringLiteral("../victim"));
    QVERIFY(QFileInfo::exists(victim));
}

void tst_StorageHelpers::deletesNestedTree()
{
    const QString top = temp->filePath(QStringLiteral("tree"));
    QVERIFY(QDir().mkpath(top + QStringLiteral("/a/b/c/d")));
    QVERIFY(QDir().mkpath(top + QStringLiteral("/empty")));
    QVERIFY(makeFile(top + QStringLiteral("/a/one.z")));
    QVERIFY(makeFile(top + QStringLiteral("/a/b/c/d/deep.z")));
    QVERIFY(makeFile(top + QStringLiteral("/.hidden")));
    QVERIFY(QDir().mkpath(top + QStringLiteral("/a/.hidden dir")));
    QVERIFY(makeFile(top + QStringLiteral("/a/.hidden dir/x")));
    // Save history: a version hard-linked to an archive.
    QVERIFY(QDir().mkpath(top + QStringLiteral("/a/.versions/one.z")));
    QVERIFY(::link(QFile::encodeName(top + QStringLiteral("/a/one.z")).constData(),
                QFile::encodeName(top + QStringLiteral("/a/.versions/one.z/v")).constData())
        == 0);
    // A name that is not valid UTF-8.
    const QByteArray odd = QFile::encodeName(top) + "/a/b/\xff\xfe";
    const int fd = ::open(odd.constData(), O_CREAT | O_WRONLY, 0644);
    QVERIFY(fd >= 0);
    ::close(fd);
    QVERIFY(::mkfifo((QFile::encodeName(top) + "/a/fifo").constData(), 0644) == 0);

    QVERIFY(deleteDirectoryTree(top));
    QVERIFY(!QFileInfo::exists(top));
    QVERIFY(QFileInfo::exists(temp->path()));
}

void tst_StorageHelpers::deletesReadOnlyEntries()
{
    const QString top = temp->filePath(QStringLiteral("ro"));
    QVERIFY(QDir().mkpath(top + QStringLiteral("/sub/inner")));
    QVERIFY(makeFile(top + QStringLiteral("/file.z")));
    QVERIFY(makeFile(top + QStringLiteral("/sub/.hidden")));
    QVERIFY(makeFile(top + QStringLiteral("/sub/inner/file.z")));
    const auto readOnlyFile = QFileDevice::ReadOwner;
    const auto readOnlyDir = QFileDevice::ReadOwner | QFileDevice::ExeOwner;
    QVERIFY(QFile::setPermissions(top + QStringLiteral("/file.z"), readOnlyFile));
    QVERIFY(QFile::setPermissions(top + QStringLiteral("/sub/.hidden"), readOnlyFile));
    QVERIFY(QFile::setPermissions(top + QStringLiteral("/sub/inner/file.z"), readOnlyFile));
    QVERIFY(QFile::setPermissions(top + QStringLiteral("/sub/inner"), QFileDevice::ReadOwner));
    QVERIFY(QFile::setPermissions(top + QStringLiteral("/sub"), readOnlyDir));
    QVERIFY(QFile::setPermissions(top, readOnlyDir));
    // Root would not notice the missing write bits: run the delete as another user.
    if (testsupport::runningAsRoot())
        QVERIFY(testsupport::giveToOtherUser(temp->path()));

    bool deleted = false;
    {
        testsupport::UnprivilegedScope scope;
        QVERIFY(scope.ok());
        deleted = deleteDirectoryTree(top);
    }
    QVERIFY(deleted);
    QVERIFY(!QFileInfo::exists(top));
}

void tst_StorageHelpers::linksAreRemovedNotFollowed()
{
    const QString outside = temp->filePath(QStringLiteral("outside"));
    QVERIFY(QDir().mkpath(outside + QStringLiteral("/keep")));
    QVERIFY(makeFile(outside + QStringLiteral("/keep/precious.z")));
    QVERIFY(makeFile(outside + QStringLiteral("/file.z")));

    const QString top = temp->filePath(QStringLiteral("tree"));
    QVERIFY(QDir().mkpath(top + QStringLiteral("/sub")));
    QVERIFY(QFile::link(outside, top + QStringLiteral("/dirlink")));
    QVERIFY(
        QFile::link(outside + QStringLiteral("/file.z"), top + QStringLiteral("/sub/filelink")));
    QVERIFY(
        QFile::link(temp->filePath(QStringLiteral("nowhere")), top + QStringLiteral("/dangling")));

    QVERIFY(deleteDirectoryTree(top));
    QVERIFY(!QFileInfo::exists(top));
    QVERIFY(QFileInfo::exists(outside + QStringLiteral("/keep/precious.z")));
    QVERIFY(QFileInfo::exists(outside + QStringLiteral("/file.z")));
}

void tst_StorageHelpers::linkGivenAsDirectoryIsRemovedAlone()
{
    const QString target = temp->filePath(QStringLiteral("target"));
    QVERIFY(QDir().mkpath(target));
    QVERIFY(makeFile(target + QStringLiteral("/precious.z")));
    const QString link = temp->filePath(QStringLiteral("link"));
    QVERIFY(QFile::link(target, link));

    QVERIFY(deleteDirectoryTree(link + QLatin1Char('/')));
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(QFileInfo::exists(target + QStringLiteral("/precious.z")));
}

void tst_StorageHelpers::trailingSlash()
{
    const QString top = temp->filePath(QStringLiteral("slash"));
    QVERIFY(QDir().mkpath(top + QStringLiteral("/x")));
    QVERIFY(deleteDirectoryTree(top + QStringLiteral("//")));
    QVERIFY(!QFileInfo::exists(top));
}

void tst_StorageHelpers::missingDirectory_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("makeRegularFile");

    QTest::newRow("missing") << QStringLiteral("missing") << false;
    QTest::newRow("missing parent") << QStringLiteral("no/such/dir") << false;
    QTest::newRow("regular file") << QStringLiteral("file") << true;
}

void tst_StorageHelpers::missingDirectory()
{
    QFETCH(QString, name);
    QFETCH(bool, makeRegularFile);

    const QString path = temp->filePath(name);
    if (makeRegularFile)
        QVERIFY(makeFile(path));
    QVERIFY(!deleteDirectoryTree(path));
    QCOMPARE(QFileInfo::exists(path), makeRegularFile);
    QVERIFY(!deleteDirectoryTree(QString()));
}

namespace {

// The entries of a directory in the order the file system lists them.
QList<QByteArray> listingOrder(const QString &path)
{
    QList<QByteArray> names;
    DIR *dir = opendir(QFile::encodeName(path).constData());
    if (!dir)
        return names;
    while (const dirent *entry = readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names.append(name);
    }
    closedir(dir);
    return names;
}

} // namespace

void tst_StorageHelpers::stopsAtFirstEntryItCannotRemove()
{
    // As root the only entry another user cannot remove is one inside a folder root owns,
    // so this needs root to set up and another user to run the delete.
    if (!testsupport::runningAsRoot())
        QSKIP("needs root: an entry the deleting user cannot remove must belong to another user");

    const QString top = temp->filePath(QStringLiteral("tree"));
    QVERIFY(QDir().mkpath(top));
    for (int i = 0; i < 8; ++i) {
        const QString name = top + QStringLiteral("/entry%1").arg(i);
        if (i % 2) {
            QVERIFY(QDir().mkpath(name + QStringLiteral("/nested")));
            QVERIFY(makeFile(name + QStringLiteral("/nested/f.z")));
        } else {
            QVERIFY(makeFile(name));
        }
    }
    QVERIFY(testsupport::giveToOtherUser(temp->path()));

    // The blocker: a folder of root's with a file in it. Pick a name that the file system
    // lists neither first nor last, so entries on both sides of it are checked.
    QString blocker;
    QList<QByteArray> order;
    for (int i = 0; i < 50 && blocker.isEmpty(); ++i) {
        const QString name = QStringLiteral("locked%1").arg(i);
        QVERIFY(QDir().mkpath(top + QLatin1Char('/') + name));
        order = listingOrder(top);
        const int at = order.indexOf(name.toLatin1());
        if (at > 0 && at < order.size() - 1)
            blocker = name;
        else
            QVERIFY(QDir().rmdir(top + QLatin1Char('/') + name));
    }
    QVERIFY(!blocker.isEmpty());
    QVERIFY(makeFile(top + QLatin1Char('/') + blocker + QStringLiteral("/owned-by-root.z")));
    QVERIFY(QFile::setPermissions(top + QLatin1Char('/') + blocker,
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
            | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
            | QFileDevice::ExeOther));

    bool deleted = true;
    {
        testsupport::UnprivilegedScope scope;
        QVERIFY(scope.ok());
        deleted = deleteDirectoryTree(top);
    }
    QVERIFY(!deleted);
    QVERIFY(QFileInfo(top).isDir());
    QVERIFY(
        QFileInfo::exists(top + QLatin1Char('/') + blocker + QStringLiteral("/owned-by-root.z")));
    const int at = order.indexOf(blocker.toLatin1());
    for (int i = 0; i < order.size(); ++i) {
        const QString path = top + QLatin1Char('/') + QString::fromLatin1(order.at(i));
        if (i < at)
            QVERIFY2(!QFileInfo::exists(path), qPrintable(path + QStringLiteral(" survived")));
        else
            QVERIFY2(QFileInfo::exists(path), qPrintable(path + QStringLiteral(" is gone")));
    }
}

void tst_StorageHelpers::saveSums_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("piece");
    QTest::addColumn<QString>("hex");
    // FIPS 180-2's vectors and XXH3-128's (canonical, as xxh128sum prints it); a million 'a'
    // crosses the file reader's buffer boundary.
    QTest::newRow("empty") << QByteArray() << 1
                           << "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    QTest::newRow("abc") << QByteArray("abc") << 1
                         << "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    QTest::newRow("million a, odd pieces") << QByteArray(
        1000000, 'a') << 4093 << "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
    QTest::newRow("xxh128 empty") << QByteArray() << 1 << "99aa06d3014798d86001c324468d497f";
    QTest::newRow("xxh128 abc") << QByteArray("abc") << 1 << "06b05ab6733a618578af5f94892f3950";
    QTest::newRow("xxh128 million a, odd pieces")
        << QByteArray(1000000, 'a') << 4093 << "a545df8e384a9579b1fd6fae5285c4eb";
}

// Both kinds of save sum, fed in pieces and read from a file; the kind shows in the length.
void tst_StorageHelpers::saveSums()
{
    QFETCH(QByteArray, input);
    QFETCH(int, piece);
    QFETCH(QString, hex);
    const CSaveSum::Kind kind = CSaveSum::kindOf(hex);
    QCOMPARE(kind, hex.size() == 64 ? CSaveSum::Kind::Sha256 : CSaveSum::Kind::Xxh128);
    QVERIFY(CSaveSum::isValid(hex));
    QVERIFY(!CSaveSum::isValid(hex.chopped(1)) && !CSaveSum::isValid(hex.toUpper()));

    CSaveSum sum(kind);
    for (int at = 0; at < input.size(); at += piece)
        sum.add(input.mid(at, piece));
    QCOMPARE(sum.hexResult(), hex);
    // The object starts over after a result.
    sum.add(input);
    QCOMPARE(sum.hexResult(), hex);
    QCOMPARE(CSaveSum::of(input.constData(), input.size(), kind), hex);
    if (kind == CSaveSum::Kind::Sha256) {
        CSha256 sha;
        sha.add(input);
        QCOMPARE(sha.hexResult(), hex);
    }

    QFile file(temp->filePath(QStringLiteral("archive")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(input), qint64(input.size()));
    file.close();
    QCOMPARE(CSaveSum::compute(file.fileName(), kind), hex);
    QString error;
    QVERIFY(
        CSaveSum::compute(file.fileName() + QStringLiteral(".missing"), kind, &error).isEmpty());
    QVERIFY(!error.isEmpty());
    // Kept beside the file in the file of its kind, which alone is read.
    QVERIFY(CSaveSum::write(file.fileName(), hex));
    QCOMPARE(CSaveSum::recordedFile(file.fileName()), CSaveSum::fileName(file.fileName(), kind));
    QCOMPARE(CSaveSum::sumOwner(CSaveSum::recordedFile(file.fileName())), file.fileName());
    QCOMPARE(CSaveSum::read(file.fileName()), hex);
    CSaveSum::remove(file.fileName());
    QCOMPARE(CSaveSum::read(file.fileName()), QString());
}

QTEST_GUILESS_MAIN(tst_StorageHelpers)
#include "tst_storagehelpers.moc"
