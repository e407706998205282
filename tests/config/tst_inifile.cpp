#include <dlfcn.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

#include "cinifile.h"
#include "cwholefile.h"
#include "unprivileged.h"

namespace {

// The file syncs and renames of this program while recording, in order: CWholeFile's calls
// land here first.
bool recording = false;
QStringList &fileCalls()
{
    static QStringList calls;
    return calls;
}

template<typename F> F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

QString nameOfFd(int fd)
{
    return QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/fd/%1").arg(fd))).fileName();
}

} // namespace

extern "C" int fsync(int fd)
{
    static const auto next = real<int (*)(int)>("fsync");
    const int result = next(fd);
    if (recording)
        fileCalls() << QStringLiteral("sync ") + nameOfFd(fd);
    return result;
}

extern "C" int rename(const char *from, const char *to)
{
    static const auto next = real<int (*)(const char *, const char *)>("rename");
    if (recording)
        fileCalls() << QStringLiteral("rename %1 %2")
                           .arg(QFileInfo(QFile::decodeName(from)).fileName(),
                               QFileInfo(QFile::decodeName(to)).fileName());
    return next(from, to);
}

class tst_IniFile : public QObject
{
    Q_OBJECT

private slots:
    void init();

    // happy flows
    void parseInt_data();
    void parseInt();
    void namesMatchWithoutCase();
    void valuesAreLiteral_data();
    void valuesAreLiteral();
    void replaceKeepsEveryOtherByte();
    void newKeyGoesAfterLastKeyOfSection();
    void missingSectionIsAppended();
    void missingFileIsCreated();
    void utf8BomIsKept();
    void utf16FileStaysUtf16();
    void latin1LinesSurviveUntouched();

    // rainy-day flows
    void commentsAndStrayLinesAreNoKeys();
    void firstOfDuplicateKeysWins();
    void valuesReadBack_data();
    void valuesReadBack();
    void lineBreaksAreRefused_data();
    void lineBreaksAreRefused();
    void saveReplacesInsteadOfRewriting();
    void unreadableFileIsNotOverwritten();
    void permissionsWhateverTheUmask_data();
    void permissionsWhateverTheUmask();
    void ownerAndGroupKept();
    void linkedIniWrittenWhereItPoints();
    void wholeFileReplacesALinkNeverItsTarget();
    void syncedBeforeItsRenameAndFolderAfter();

private:
    QString writeFile(const QByteArray &bytes);
    QByteArray readFile() const;

    QTemporaryDir dir;
    QString path;
};

void tst_IniFile::init()
{
    QVERIFY(dir.isValid());
    path = dir.filePath(QStringLiteral("tolvern.ini"));
    QFile::remove(path);
}

QString tst_IniFile::writeFile(const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

QByteArray tst_IniFile::readFile() const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void tst_IniFile::parseInt_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected");

    QTest::newRow("plain") << QStringLiteral("3888") << 3888;
    QTest::newRow("trailing letters") << QStringLiteral("3888abc") << 3888;
    QTest::newRow("leading blank") << QStringLiteral(" 3890") << 3890;
    QTest::newRow("leading tab") << QStringLiteral("\t42") << 42;
    QTest::newRow("letters only") << QStringLiteral("abc") << 0;
    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("negative") << QStringLiteral("-1") << -1;
    QTest::newRow("plus") << QStringLiteral("+12") << 12;
    QTest::newRow("sign alone") << QStringLiteral("-") << 0;
    QTest::newRow("blank after sign") << QStringLiteral("- 5") << 0;
    QTest::newRow("decimal point") << QStringLiteral("80.5") << 80;
    QTest::newRow("hex is decimal 0") << QStringLiteral("0x50") << 0;
    QTest::newRow("too big") << QStringLiteral("99999999999999999999")
                             << std::numeric_limits<int>::max();
    QTest::newRow("too small") << QStringLiteral("-99999999999999999999")
                               << std::numeric_limits<int>::min();
}

void tst_IniFile::parseInt()
{
    QFETCH(QString, text);
    QFETCH(int, expected);
    QCOMPARE(CIniFile::parseInt(text), expected);
}

void tst_IniFile::namesMatchWithoutCase()
{
    writeFile("[gEnErAl]\nmainport=4000\n[ Other ]\nKEY=v\n");
    CIniFile ini(path);
    QCOMPARE(ini.load(), CIniFile::Loaded);
    QCOMPARE(ini.intValue(QStringLiteral("General"), QStringLiteral("MainPort"), 1), 4000);
    QCOMPARE(
        ini.value(QStringLiteral("other"), QStringLiteral("key"), QString()), QStringLiteral("v"));

    QVERIFY(ini.setValue(
        QStringLiteral("GENERAL"), QStringLiteral("MAINPORT"), QStringLiteral("4001")));
    QVERIFY(ini.save());
    // The spelling in the file stays; no second key or section appears.
    QCOMPARE(readFile(), QByteArray("[gEnErAl]\nmainport=4001\n[ Other ]\nKEY=v\n"));
}

void tst_IniFile::valuesAreLiteral_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("expected");

    QTest::newRow("backslashes") << QByteArray("SaveDataDir=D:\\saves\\new") << "D:\\saves\\new";
    QTest::newRow("blanks around") << QByteArray("  SaveDataDir  =  /srv/x  ") << "/srv/x";
    QTest::newRow("double quotes") << QByteArray("SaveDataDir=\"C:\\My Saves\"") << "C:\\My Saves";
    QTest::newRow("single quotes") << QByteArray("SaveDataDir='a b'") << "a b";
    QTest::newRow("one quote kept") << QByteArray("SaveDataDir=\"abc") << "\"abc";
    QTest::newRow("equals in value") << QByteArray("SaveDataDir=a=b") << "a=b";
    QTest::newRow("semicolon kept") << QByteArray("SaveDataDir=a ; b") << "a ; b";
    QTest::newRow("empty") << QByteArray("SaveDataDir=") << "";
    QTest::newRow("utf8") << QByteArray("SaveDataDir=/srv/sp\xc3\xa4ter") << "/srv/sp\u00e4ter";
}

void tst_IniFile::valuesAreLiteral()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, expected);

    writeFile("[General]\r\n" + line + "\r\n");
    CIniFile ini(path);
    ini.load();
    QCOMPARE(ini.value(QStringLiteral("General"), QStringLiteral("SaveDataDir"),
                 QStringLiteral("default")),
        expected);
}

void tst_IniFile::replaceKeepsEveryOtherByte()
{
    const QByteArray before = "; written by hand\r\n"
                              "[General]\r\n"
                              "SaveDataDir = D:\\saves\r\n"
                              "MainPort=3888 ; main\r\n"
                              "\r\n"
                              "[Other]\r\n"
                              "MainPort=1\r\n";
    writeFile(before);
    CIniFile ini(path);
    ini.load();
    QVERIFY(ini.setValue(
        QStringLiteral("General"), QStringLiteral("SaveDataDir"), QStringLiteral("E:\\new saves")));
    QVERIFY(ini.setValue(
        QStringLiteral("General"), QStringLiteral("MainPort"), QStringLiteral("4000")));
    QVERIFY(ini.save());
    QCOMPARE(readFile(),
        QByteArray("; written by hand\r\n"
                   "[General]\r\n"
                   "SaveDataDir = E:\\new saves\r\n"
                   "MainPort=4000\r\n"
                   "\r\n"
                   "[Other]\r\n"
                   "MainPort=1\r\n"));
}

void tst_IniFile::newKeyGoesAfterLastKeyOfSection()
{
    writeFile("[General]\r\nSaveDataDir=x\r\n\r\n; about the next one\r\n[Next]\r\nA=1");
    CIniFile ini(path);
    ini.load();
    QVERIFY(ini.setValue(
        QStringLiteral("General"), QStringLiteral("FilePort"), QStringLiteral("3889")));
    QVERIFY(ini.setValue(QStringLiteral("Next"), QStringLiteral("B"), QStringLiteral("2")));
    QVERIFY(ini.save());
    QCOMPARE(readFile(),
        QByteArray("[General]\r\nSaveDataDir=x\r\nFilePort=3889\r\n\r\n"
                   "; about the next one\r\n[Next]\r\nA=1\r\nB=2\r\n"));
}

void tst_IniFile::missingSectionIsAppended()
{
    writeFile("[Other]\nA=1");
    CIniFile ini(path);
    ini.load();
    QVERIFY(ini.setValue(
        QStringLiteral("General"), QStringLiteral("MainPort"), QStringLiteral("3888")));
    QVERIFY(ini.save());
    QCOMPARE(readFile(), QByteArray("[Other]\nA=1\n\n[General]\nMainPort=3888\n"));

    // A key above every section belongs to none.
    writeFile("MainPort=1\n");
    ini.load();
    QVERIFY(!ini.contains(QStringLiteral("General"), QStringLiteral("MainPort")));
    QCOMPARE(ini.intValue(QStringLiteral("General"), QStringLiteral("MainPort"), 7), 7);
}

void tst_IniFile::missingFileIsCreated()
{
    CIniFile ini(path);
    QCOMPARE(ini.load(), CIniFile::Missing);
    QVERIFY(!QFile::exists(path));
    QCOMPARE(ini.value(QStringLiteral("General"), QStringLiteral("A"), QStringLiteral("d")),
        QStringLiteral("d"));
    QVERIFY(ini.setValue(QStringLiteral("General"), QStringLiteral("A"), QStringLiteral("1")));
    QVERIFY(ini.setValue(QStringLiteral("General"), QStringLiteral("B"), QStringLiteral("2")));
    QVERIFY(ini.save());
    QCOMPARE(readFile(), QByteArray("[General]\nA=1\nB=2\n"));
}

void tst_IniFile::utf8BomIsKept()
{
    writeFile("\xEF\xBB\xBF[General]\nSaveDataDir=/a\n");
    CIniFile ini(path);
    ini.load();
    QCOMPARE(ini.value(QStringLiteral("General"), QStringLiteral("SaveDataDir"), QString()),
        QStringLiteral("/a"));
    ini.setValue(QStringLiteral("General"), QStringLiteral("SaveDataDir"), QStringLiteral("/b"));
    QVERIFY(ini.save());
    QCOMPARE(readFile(), QByteArray("\xEF\xBB\xBF[General]\nSaveDataDir=/b\n"));
}

void tst_IniFile::utf16FileStaysUtf16()
{
    QStringEncoder encoder(QStringConverter::Utf16LE);
    const QByteArray before = QByteArray("\xFF\xFE")
        + QByteArray(encoder(QStringLiteral("[General]\r\nSaveDataDir=C:\\sp\u00e4t\r\n")));
    writeFile(before);
    CIniFile ini(path);
    ini.load();
    QCOMPARE(ini.value(QStringLiteral("General"), QStringLiteral("SaveDataDir"), QString()),
        QStringLiteral("C:\\sp\u00e4t"));
    ini.setValue(QStringLiteral("General"), QStringLiteral("MainPort"), QStringLiteral("1"));
    QVERIFY(ini.save());
    QStringEncoder again(QStringConverter::Utf16LE);
    QCOMPARE(readFile(),
        QByteArray("\xFF\xFE")
            + QByteArray(
                again(QStringLiteral("[General]\r\nSaveDataDir=C:\\sp\u00e4t\r\nMainPort=1\r\n"))));
}

void tst_IniFile::latin1LinesSurviveUntouched()
{
    // A file saved in a Windows code page: not UTF-8.
    writeFile("[General]\nSaveDataDir=C:\\Spiele\\Gr\xf6\xdf"
              "e\nMainPort=1\n");
    CIniFile ini(path);
    ini.load();
    QCOMPARE(ini.value(QStringLiteral("General"), QStringLiteral("SaveDataDir"), QString()),
        QStringLiteral("C:\\Spiele\\Gr\u00f6\u00dfe"));
    ini.setValue(QStringLiteral("General"), QStringLiteral("MainPort"), QStringLiteral("2"));
    QVERIFY(ini.save());
    QCOMPARE(readFile(),
        QByteArray("[General]\nSaveDataDir=C:\\Spiele\\Gr\xf6\xdf"
                   "e\n"
                   "MainPort=2\n"));
}

void tst_IniFile::commentsAndStrayLinesAreNoKeys()
{
    writeFile("[General]\n;MainPort=1\n#MainPort=2\njust words\n=3\n[Other]\nMainPort=4\n");
    CIniFile ini(path);
    ini.load();
    QVERIFY(!ini.contains(QStringLiteral("General"), QStringLiteral("MainPort")));
    QCOMPARE(ini.intValue(QStringLiteral("General"), QStringLiteral("MainPort"), 3888), 3888);
    QVERIFY(
        ini.setValue(QStringLiteral("General"), QStringLiteral("MainPort"), QStringLiteral("5")));
    QVERIFY(ini.save());
    // With no key in the section the new one follows the header.
    QCOMPARE(readFile(),
        QByteArray("[General]\nMainPort=5\n;MainPort=1\n#MainPort=2\njust words\n=3\n"
                   "[Other]\nMainPort=4\n"));
}

void tst_IniFile::firstOfDuplicateKeysWins()
{
    writeFile("[General]\nA=1\nA=2\n[general]\nA=3\n");
    CIniFile ini(path);
    ini.load();
    QCOMPARE(
        ini.value(QStringLiteral("General"), QStringLiteral("A"), QString()), QStringLiteral("1"));
    ini.setValue(QStringLiteral("General"), QStringLiteral("A"), QStringLiteral("9"));
    QVERIFY(ini.save());
    QCOMPARE(readFile(), QByteArray("[General]\nA=9\nA=2\n[general]\nA=3\n"));
}

void tst_IniFile::valuesReadBack_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("plain") << QStringLiteral("C:\\saves") << QByteArray("A=C:\\saves");
    QTest::newRow("leading blank") << QStringLiteral(" x") << QByteArray("A=\" x\"");
    QTest::newRow("trailing vertical tab") << QStringLiteral("x\v") << QByteArray("A=\"x\v\"");
    QTest::newRow("in quotes") << QStringLiteral("\"x\"") << QByteArray("A=\"\"x\"\"");
    QTest::newRow("in single quotes") << QStringLiteral("'x'") << QByteArray("A=\"'x'\"");
    QTest::newRow("one quote") << QStringLiteral("\"") << QByteArray("A=\"");
}

void tst_IniFile::valuesReadBack()
{
    QFETCH(QString, value);
    QFETCH(QByteArray, line);
    for (const QByteArray &before : { QByteArray(), QByteArray("[General]\nA=old\n") }) {
        writeFile(before);
        CIniFile ini(path);
        ini.load();
        QVERIFY(ini.setValue(QStringLiteral("General"), QStringLiteral("A"), value));
        QVERIFY(ini.save());
        QCOMPARE(readFile(), QByteArray("[General]\n") + line + '\n');
        CIniFile again(path);
        QCOMPARE(again.load(), CIniFile::Loaded);
        QCOMPARE(again.value(QStringLiteral("General"), QStringLiteral("A"), QString()), value);
    }
}

void tst_IniFile::lineBreaksAreRefused_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");

    QTest::newRow("value LF") << "General"
                              << "SaveDataDir"
                              << "/x\nMainPort=1";
    QTest::newRow("value CR") << "General"
                              << "SaveDataDir"
                              << "/x\rMainPort=1";
    QTest::newRow("key LF") << "General"
                            << "A\nB"
                            << "1";
    QTest::newRow("key with =") << "General"
                                << "A=B"
                                << "1";
    QTest::newRow("empty key") << "General"
                               << " "
                               << "1";
    QTest::newRow("comment key") << "General"
                                 << ";A"
                                 << "1";
    QTest::newRow("section with ]") << "Gen]eral"
                                    << "A"
                                    << "1";
    QTest::newRow("empty section") << ""
                                   << "A"
                                   << "1";
}

void tst_IniFile::lineBreaksAreRefused()
{
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);

    const QByteArray before = "[General]\nSaveDataDir=/old\n";
    writeFile(before);
    CIniFile ini(path);
    ini.load();
    QVERIFY(!ini.setValue(section, key, value));
    QVERIFY(ini.save());
    QCOMPARE(readFile(), before);
}

void tst_IniFile::saveReplacesInsteadOfRewriting()
{
    // A second name for the old file shows whether it was replaced or written over.
    writeFile("[General]\nA=1\n");
    const QString oldName = dir.filePath(QStringLiteral("old.ini"));
    QFile::remove(oldName);
    QVERIFY(
        ::link(QFile::encodeName(path).constData(), QFile::encodeName(oldName).constData()) == 0);

    CIniFile ini(path);
    ini.load();
    ini.setValue(QStringLiteral("General"), QStringLiteral("A"), QStringLiteral("2"));
    QVERIFY(ini.save());
    QCOMPARE(readFile(), QByteArray("[General]\nA=2\n"));
    QFile old(oldName);
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("[General]\nA=1\n"));
    // Nothing left over from the replacement.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void tst_IniFile::unreadableFileIsNotOverwritten()
{
    // A file that exists but cannot be read must not be replaced by a file holding only our
    // keys. The folder is writable, so only the check stops the replacement.
    const QString folder = dir.filePath(QStringLiteral("locked"));
    QVERIFY(QDir().mkpath(folder));
    path = folder + QStringLiteral("/tolvern.ini");
    const QByteArray before = "[General]\nSaveDataDir=/keep\n[Other]\nA=1\n";
    writeFile(before);
    QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
    if (testsupport::runningAsRoot())
        QVERIFY(testsupport::giveToOtherUser(dir.path()));

    bool loadedUnreadable = false;
    bool saved = true;
    {
        testsupport::UnprivilegedScope scope;
        QVERIFY(scope.ok());
        CIniFile ini(path);
        loadedUnreadable = ini.load() == CIniFile::Unreadable;
        ini.setValue(QStringLiteral("General"), QStringLiteral("A"), QStringLiteral("1"));
        saved = ini.save();
    }
    QVERIFY(loadedUnreadable);
    QVERIFY(!saved);
    QCOMPARE(readFile(), before);
}

namespace {

struct stat statOf(const QString &path)
{
    struct stat st
    {
    };
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st;
}

} // namespace

void tst_IniFile::permissionsWhateverTheUmask_data()
{
    QTest::addColumn<int>("before"); // the file's bits before the save; -1: no file
    QTest::addColumn<int>("mask"); // the umask
    QTest::addColumn<int>("after");
    QTest::newRow("new, usual umask") << -1 << 022 << 0600;
    QTest::newRow("new, no umask") << -1 << 0 << 0600;
    QTest::newRow("new, owner masked") << -1 << 0277 << 0600;
    QTest::newRow("group reads") << 0640 << 022 << 0640;
    QTest::newRow("group writes") << 0660 << 077 << 0660;
    QTest::newRow("world reads") << 0644 << 022 << 0640;
    QTest::newRow("executable") << 0775 << 0 << 0660;
}

// The ini holds the token's hash and perhaps the database's password: a new one is its
// owner's only, one replaced keeps what its group may do, and nobody else gets anything.
void tst_IniFile::permissionsWhateverTheUmask()
{
    QFETCH(int, before);
    QFETCH(int, mask);
    QFETCH(int, after);
    if (before >= 0) {
        writeFile("[General]\nA=1\n");
        QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(before)) == 0);
    }
    CIniFile ini(path);
    ini.load();
    ini.setValue(QStringLiteral("General"), QStringLiteral("A"), QStringLiteral("2"));
    const mode_t was = ::umask(mode_t(mask));
    const bool saved = ini.save();
    ::umask(was);
    QVERIFY2(saved, qPrintable(ini.errorString()));
    QCOMPARE(int(statOf(path).st_mode & 07777), after);
}

void tst_IniFile::ownerAndGroupKept()
{
    if (!testsupport::runningAsRoot())
        QSKIP("only root gives files away");
    // An ini of root's that the service's group reads, rewritten by root (admin token).
    writeFile("[Admin]\nTokenHash=old\n");
    QVERIFY(::chown(QFile::encodeName(path).constData(), 0, 65534) == 0);
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0640) == 0);
    CIniFile ini(path);
    ini.load();
    ini.setValue(QStringLiteral("Admin"), QStringLiteral("TokenHash"), QStringLiteral("new"));
    QVERIFY(ini.save());
    const struct stat st = statOf(path);
    QCOMPARE(int(st.st_uid), 0);
    QCOMPARE(int(st.st_gid), 65534);
    QCOMPARE(int(st.st_mode & 07777), 0640);
}

void tst_IniFile::linkedIniWrittenWhereItPoints()
{
    // An ini kept elsewhere and linked to stays where it is, and the link stays a link.
    const QString real = dir.filePath(QStringLiteral("shared.ini"));
    QFile::remove(real);
    QFile file(real);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("[General]\nA=1\n") > 0);
    file.close();
    QVERIFY(QFile::link(real, path));
    CIniFile ini(path);
    ini.load();
    ini.setValue(QStringLiteral("General"), QStringLiteral("A"), QStringLiteral("2"));
    QVERIFY(ini.save());
    QVERIFY(QFileInfo(path).isSymLink());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("[General]\nA=2\n"));
    QFile::remove(real);
}

void tst_IniFile::wholeFileReplacesALinkNeverItsTarget()
{
    // A link planted where a file is to be written: the file takes its place, and what it
    // pointed to is left as it was.
    const QString victim = dir.filePath(QStringLiteral("victim"));
    QFile::remove(victim);
    QFile file(victim);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("precious") == 8);
    file.close();
    const QString planted = dir.filePath(QStringLiteral("export.tar"));
    QFile::remove(planted);
    QVERIFY(QFile::link(victim, planted));
    QString error;
    QVERIFY2(CWholeFile::write(planted, "exported", &error), qPrintable(error));
    QVERIFY(!QFileInfo(planted).isSymLink());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("precious"));
    QFile written(planted);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), QByteArray("exported"));
    QCOMPARE(int(statOf(planted).st_mode & 07777), 0600);
    // Nothing left beside it.
    QCOMPARE(
        QDir(dir.path()).entryList({ QStringLiteral(".*partial") }, QDir::Files | QDir::Hidden),
        QStringList());
    QFile::remove(victim);
    QFile::remove(planted);
}

// A crash at any moment leaves the old file or the new one, whole: the new one is synced
// before it takes the name, and the folder after, so that the rename lasts too.
void tst_IniFile::syncedBeforeItsRenameAndFolderAfter()
{
    writeFile("[General]\nA=1\n");
    CIniFile ini(path);
    ini.load();
    ini.setValue(QStringLiteral("General"), QStringLiteral("A"), QStringLiteral("2"));
    fileCalls().clear();
    recording = true;
    const bool saved = ini.save();
    recording = false;
    QVERIFY(saved);
    const QStringList calls = fileCalls();
    QCOMPARE(calls.size(), 3);
    const QRegularExpression temporary(
        QStringLiteral("^sync (\\.tolvern\\.ini\\.\\w+\\.partial)$"));
    const QRegularExpressionMatch synced = temporary.match(calls.at(0));
    QVERIFY2(synced.hasMatch(), qPrintable(calls.join(u'|')));
    QCOMPARE(calls.at(1), QStringLiteral("rename %1 tolvern.ini").arg(synced.captured(1)));
    QCOMPARE(calls.at(2), QStringLiteral("sync ") + QFileInfo(dir.path()).fileName());
}

QTEST_GUILESS_MAIN(tst_IniFile)
#include "tst_inifile.moc"
