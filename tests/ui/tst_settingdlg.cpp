#include <optional>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSqlQuery>
#include <QTest>
#include <QTimer>

#include "csettingdlg.h"
#include "cserversettings.h"
#include "cuserdb.h"
#include "modaldriver.h"
#include "storagehelpers.h"
#include "uitestenv.h"
#include "unprivileged.h"

using IdList = QList<int>;

class tst_SettingDlg : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    // happy flows
    void windowFocusOrderAndRanges();
    void loadingShowsSettings();
    void unchangedLocationClosesSilently_data();
    void unchangedLocationClosesSilently();
    void acceptedPortsAreSaved_data();
    void acceptedPortsAreSaved();
    void uncheckingStartAloneDeletesRunValue();
    void transferLoginBoxAloneIsSaved();
    void browsedFolderIsSaved();
    void restartEndsEventLoopWithCode2();
    void clearInactiveUsersData_data();
    void clearInactiveUsersData();
    void deleteInactiveUsers_data();
    void deleteInactiveUsers();

    // rainy-day flows
    void refused_data();
    void refused();
    void cancelOrEscapeSavesNothing_data();
    void cancelOrEscapeSavesNothing();
    void clearOrDeleteAnsweredNo_data();
    void clearOrDeleteAnsweredNo();
    void nothingMatchingStillSaysOk_data();
    void nothingMatchingStillSaysOk();
    void deleteThenEmptyClearStillRefreshesUserPage();
    void purgeStoppedByDatabaseIsReported();
    void clearWorksInStoredDirectoryNotField();
    void unwritableFileIsReported_data();
    void unwritableFileIsReported();

private:
    static QLineEdit *edit(CSettingDlg &dlg, const char *name)
    {
        return dlg.findChild<QLineEdit *>(QLatin1String(name));
    }
    static QPushButton *button(CSettingDlg &dlg, const char *name)
    {
        return dlg.findChild<QPushButton *>(QLatin1String(name));
    }
    static void retype(QLineEdit *field, const QString &text);
    // Users 1..5: never logged in, 1 month, 4 months and 7 months ago, and just now; each
    // with a data folder.
    void addUsersOfAllAges();

    UiTestEnv *env = nullptr;
};

void tst_SettingDlg::retype(QLineEdit *field, const QString &text)
{
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, text);
}

void tst_SettingDlg::addUsersOfAllAges()
{
    const QDateTime now = QDateTime::currentDateTime();
    env->insertUser(1, QStringLiteral("never"), QStringLiteral("pw"));
    env->insertUser(2, QStringLiteral("month"), QStringLiteral("pw"), now.addMonths(-1));
    env->insertUser(3, QStringLiteral("four"), QStringLiteral("pw"), now.addMonths(-4));
    env->insertUser(4, QStringLiteral("seven"), QStringLiteral("pw"), now.addMonths(-7));
    env->insertUser(5, QStringLiteral("today"), QStringLiteral("pw"), now);
    for (int id = 1; id <= 5; ++id)
        QVERIFY(env->makeUserFolder(id));
}

void tst_SettingDlg::initTestCase()
{
    env = new UiTestEnv;
    QVERIFY(env->isValid());
    QVERIFY(QDir::setCurrent(env->path(QString())));
}

void tst_SettingDlg::cleanupTestCase()
{
    delete env;
    env = nullptr;
}

void tst_SettingDlg::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral("No matching signal for on_")));
    env->resetUsers();
    QFile::remove(env->runEntryPath());
    env->writeIni(env->storageDir(), 3888, 3889, true);
}

void tst_SettingDlg::cleanup()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (const QWidget *w : windows)
        QVERIFY2(!w->isVisible(), qPrintable(w->objectName()));
}

void tst_SettingDlg::windowFocusOrderAndRanges()
{
    CSettingDlg dlg(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QCOMPARE(dlg.windowTitle(), QStringLiteral("Settings"));
    QCOMPARE(dlg.size(), QSize(502, 440));
    QDialog plain;
    QCOMPARE(dlg.windowFlags(), plain.windowFlags());
    QVERIFY(button(dlg, "btnOk")->isDefault());
    QVERIFY(!dlg.refreshUserList);
    QCOMPARE(UiTestEnv::tabOrder(&dlg),
        QStringList({ QStringLiteral("btnOk"), QStringLiteral("edSaveDir"),
            QStringLiteral("btnBrow"), QStringLiteral("edFilePort"), QStringLiteral("edMainPort"),
            QStringLiteral("combRangeClear"), QStringLiteral("btnClear"),
            QStringLiteral("combRangeDelUser"), QStringLiteral("btnDelUser"),
            QStringLiteral("btnCancel"), QStringLiteral("chkStart"),
            QStringLiteral("chkTransferLogin") }));
    for (const char *name : { "combRangeClear", "combRangeDelUser" }) {
        auto *box = dlg.findChild<QComboBox *>(QLatin1String(name));
        QVERIFY(box);
        QVERIFY(!box->isEditable());
        QCOMPARE(box->count(), 2);
        QCOMPARE(box->itemText(0), QStringLiteral("Not logged in within 3 months"));
        QCOMPARE(box->itemText(1), QStringLiteral("Not logged in within 6 months"));
        QCOMPARE(box->currentIndex(), 0);
    }
    for (const char *name : { "edSaveDir", "edMainPort", "edFilePort" }) {
        QVERIFY(!edit(dlg, name)->validator());
        QVERIFY(edit(dlg, name)->inputMask().isEmpty());
    }
}

void tst_SettingDlg::loadingShowsSettings()
{
    const QString stored = env->storageDir() + QStringLiteral("/");
    env->writeIni(stored, 4000, 4001, false);
    CSettingDlg dlg(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QCOMPARE(edit(dlg, "edSaveDir")->text(), QDir::toNativeSeparators(stored));
    QCOMPARE(edit(dlg, "edMainPort")->text(), QStringLiteral("4000"));
    QCOMPARE(edit(dlg, "edFilePort")->text(), QStringLiteral("4001"));
    QVERIFY(!dlg.findChild<QCheckBox *>(QStringLiteral("chkStart"))->isChecked());

    env->writeIni(env->storageDir(), 80, 65535, true);
    CSettingDlg again(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QCOMPARE(edit(again, "edMainPort")->text(), QStringLiteral("80"));
    QCOMPARE(edit(again, "edFilePort")->text(), QStringLiteral("65535"));
    QVERIFY(again.findChild<QCheckBox *>(QStringLiteral("chkStart"))->isChecked());
}

void tst_SettingDlg::unchangedLocationClosesSilently_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("typed"); // null: the field is left as loaded

    const QString storage = env->storageDir();
    QTest::newRow("untouched") << storage << QString();
    QTest::newRow("stored with trailing slash") << storage + QStringLiteral("/") << QString();
    QTest::newRow("retyped as another spelling")
        << storage << QStringLiteral(" ") + storage + QStringLiteral("/./ ");
    QTest::newRow("retyped through a parent") << storage << storage + QStringLiteral("/../storage");
}

void tst_SettingDlg::unchangedLocationClosesSilently()
{
    QFETCH(QString, stored);
    QFETCH(QString, typed);

    env->writeIni(stored, 3888, 3889, true);
    const QString iniBefore = env->iniText();

    CSettingDlg dlg(CServerSettings::instance(), CUserDb::instance(), nullptr);
    ModalDriver driver;
    driver.act(&dlg, [&]() {
        if (!typed.isNull())
            retype(edit(dlg, "edSaveDir"), typed);
        QTest::mouseClick(button(dlg, "btnOk"), Qt::LeftButton);
    });
    QCOMPARE(dlg.exec(), int(QDialog::Accepted));
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 0);
    QCOMPARE(env->iniText(), iniBefore);
    QCOMPARE(CServerSettings::instance()->saveDataDir, stored);
    QVERIFY(!QFile::exists(env->runEntryPath()));
}

void tst_SettingDlg::acceptedPortsAreSaved_data()
{
    QTest::addColumn<QString>("mainText");
    QTest::addColumn<QString>("fileText");
    QTest::addColumn<int>("mainPort");
    QTest::addColumn<int>("filePort");

    QTest::newRow("lowest and highest") << "80"
                                        << "65535" << 80 << 65535;
    QTest::newRow("highest and lowest") << "65535"
                                        << "80" << 65535 << 80;
    QTest::newRow("surrounding blanks") << " 8080 "
                                        << "\t8081" << 8080 << 8081;
    QTest::newRow("equal ports") << "9000"
                                 << "9000" << 9000 << 9000;
    QTest::newRow("only the file port") << "3888"
                                        << "3999" << 3888 << 3999;
}

void tst_SettingDlg::acceptedPortsAreSaved()
{
    QFETCH(QString, mainText);
    QFETCH(QString, fileText);
    QFETCH(int, mainPort);
    QFETCH(int, filePort);

    // An entry of an older version, without Path=, is brought up to date by the save.
    QVERIFY(QDir().mkpath(QFileInfo(env->runEntryPath()).path()));
    QFile old(env->runEntryPath());
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("[Desktop Entry]\nType=Application\nExec=\"/old/tolvern-server\"\n");
    old.close();

    CSettingDlg dlg(CServerSettings::instance(), CUserDb::instance(), nullptr);
    ModalDriver driver;
    driver.act(&dlg, [&]() {
        retype(edit(dlg, "edMainPort"), mainText);
        retype(edit(dlg, "edFilePort"), fileText);
        QTest::mouseClick(button(dlg, "btnOk"), Qt::LeftButton);
    });
    driver.answerBox(QMessageBox::Cancel);
    QCOMPARE(dlg.exec(), int(QDialog::Accepted));
    QVERIFY(driver.allDone());

    QCOMPARE(driver.boxes.size(), 1);
    QCOMPARE(driver.boxes.at(0).summary(),
        QStringLiteral("Information | Info | Click OK to restart the program for the changes "
                       "to take effect, or click Cancel to take effect next time | Ok|Cancel"));

    const CServerSettings *settings = CServerSettings::instance();
    QCOMPARE(settings->mainPort, mainPort);
    QCOMPARE(settings->filePort, filePort);
    QCOMPARE(env->iniValue(QStringLiteral("MainPort")), QString::number(mainPort));
    QCOMPARE(env->iniValue(QStringLiteral("FilePort")), QString::number(filePort));
    QCOMPARE(env->iniValue(QStringLiteral("SaveDataDir")), env->storageDir());
    QCOMPARE(env->iniValue(QStringLiteral("StartWhenOSStarts")), QStringLiteral("true"));
    // Autostart stays on, so the entry is written again with the quoted program path and
    // the working directory that holds db/.
    QCOMPARE(env->runExec(), UiTestEnv::quotedExecutable());
    QCOMPARE(env->runPath(), QDir::currentPath());
}

void tst_SettingDlg::uncheckingStartAloneDeletesRunValue()
{
    QVERIFY(writeRunValue(QStringLiteral("Ombrivale_Tolvern"), UiTestEnv::quotedExecutable()));
    QVERIFY(QFile::exists(env->runEntryPath()));

    CSettingDlg dlg(CServerSettings::instance(), CUserDb::instance(), nullptr);
    ModalDriver driver;
    driver.act(&dlg, [&]() {
        QTest::mouseClick(dlg.findChild<QCheckBox *>(QStringLiteral("chkStart")), Qt::LeftButton);
        QTest::mouseClick(button(dlg, "btnOk"), Qt::LeftButton);
    });
    driver.answerBox(QMessageBox::Cancel);
    QCOMPARE(dlg.exec(), int(QDialog::Accepted));
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 1);
    QCOMPARE(driver.boxes.at(0).title, QStringLiteral("Info"));

    QVERIFY(!QFile::exists(env->runEntryPath()));
    QVERIFY(!CServerSettings::instance()->startWhenOSStarts);
    QCOMPARE(env->iniValue(QStringLiteral("StartWhenOSStarts")), QStringLiteral("false"));
    QCOMPARE(env->iniValue(QStringLiteral("MainPort")), QStringLiteral("3888"));
}

void tst_SettingDlg::transferLoginBoxAloneIsSaved()
{
    CSettingDlg dlg(CServerSettings::instance(), CUserDb::instance(), nullptr);
    auto *box = dlg.findChild<QCheckBox *>(QStringLiteral("chkTransferLogin"));
    QVERIFY(box);
    QVERIFY(!box->isChecked());
    ModalDriver driver;
    driver.act(&dlg, [&]() {
        QTest::mouseClick(box, Qt::LeftButton);
        QTest::mouseClick(button(dlg, "btnOk"), Qt::LeftButton);
    });
    driver.answerBox(QMessageBox::Cancel);
    QCOMPARE(dlg.exec(), int(QDialog::Accepted));
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 1);

    QVERIFY(CServerSettings::instance()->transferRequiresLogin);
    QCOMPARE(env->iniValue(QStringLiteral("TransferRequiresLogin")), QStringLiteral("true"));
    CSettingDlg again(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(again.findChild<QCheckBox *>(QStringLiteral("chkTransferLogin"))->isChecked());
}

void tst_SettingDlg::browsedFolderIsSaved()
{
    const QString target = env->path(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(target));

    CSettingDlg dlg(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QString caption;
    QString startDir;
    ModalDriver driver;
    driver.act(&dlg, [&]() { QTest::mouseClick(button(dlg, "btnBrow"), Qt::LeftButton); });
    driver.actOn([](QWidget *w) { return qobject_cast<QFileDialog *>(w) != nullptr; },
        [&](QWidget *w) {
            auto *chooser = static_cast<QFileDialog *>(w);
            caption = chooser->windowTitle();
            startDir = chooser->directory().absolutePath();
            auto *name = chooser->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            if (name)
                name->setText(target);
            QMetaObject::invokeMethod(chooser, "accept");
        });
    driver.act(&dlg, [&]() { QTest::mouseClick(button(dlg, "btnOk"), Qt::LeftButton); });
    driver.answerBox(QMessageBox::Cancel);
    QCOMPARE(dlg.exec(), int(QDialog::Accepted));
    QVERIFY(driver.allDone());

    QCOMPARE(caption, QStringLiteral("Select directory"));
    QCOMPARE(startDir, QDir::currentPath());
    // The browsed folder, shown in the field, must still name that folder when saved.
    QCOMPARE(edit(dlg, "edSaveDir")->text(), QDir::toNativeSeparators(target));
    QCOMPARE(driver.boxes.size(), 1);
    QCOMPARE(driver.boxes.at(0).title, QStringLiteral("Info"));
    QCOMPARE(CServerSettings::instance()->saveDataDir, target);
    QCOMPARE(env->iniValue(QStringLiteral("SaveDataDir")), target);
}

void tst_SettingDlg::restartEndsEventLoopWithCode2()
{
    CSettingDlg dlg(CServerSettings::instance(), CUserDb::instance(), nullptr);
    ModalDriver driver;
    driver.act(&dlg, [&]() {
        retype(edit(dlg, "edMainPort"), QStringLiteral("5000"));
        QTest::mouseClick(button(dlg, "btnOk"), Qt::LeftButton);
    });
    driver.answerBox(QMessageBox::Ok);

    int dialogResult = -1;
    bool dialogReturned = false;
    QTimer::singleShot(0, &dlg, [&]() {
        dialogResult = dlg.exec();
        dialogReturned = true;
    });
    // Start-up runs the main loop like this and restarts on its restart code.
    const int exitCode = QCoreApplication::exec();
    dlg.hide();

    QCOMPARE(exitCode, CSettingDlg::RESTART_CODE);
    QVERIFY(dialogReturned);
    QCOMPARE(dialogResult, int(QDialog::Rejected));
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 1);
    QCOMPARE(driver.boxes.at(0).title, QStringLiteral("Info"));
    QCOMPARE(CServerSettings::instance()->mainPort, 5000);
    QCOMPARE(env->iniValue(QStringLiteral("MainPort")), QStringLiteral("5000"));
}

void tst_SettingDlg::clearInactiveUsersData_data()
{
    QTest::addColumn<int>("range");
    QTest::addColumn<IdList>("cleared");
    QTest::addColumn<IdList>("blocked");
    QTest::addColumn<QString>("result");
    const QString ok = QStringLiteral("Information | Information | OK! | Ok");
    QTest::newRow("3 months") << 0 << IdList({ 1, 3, 4 }) << IdList() << ok;
    QTest::newRow("6 months") << 1 << IdList({ 1, 4 }) << IdList() << ok;
    QTest::newRow("a folder that stays")
        << 0 << IdList({ 1, 3 }) << IdList({ 4 }) << QStringLiteral("%1");
}

void tst_SettingDlg::clearInactiveUsersData()
{
    QFETCH(int, range);
    QFETCH(IdList, cleared);
    QFETCH(IdList, blocked);
    QFETCH(QString, result);

    addUsersOfAllAges();
    QVERIFY(QDir(env->storageDir() + QStringLiteral("/3")).removeRecursively());
    for (int id : std::as_const(blocked))
        QVERIFY(env->blockUserFolder(id));

    CSettingDlg dlg(CServerSettings::instance(), CUserDb::instance(), nullptr);
    dlg.show();
    auto *rangeBox = dlg.findChild<QComboBox *>(QStringLiteral("combRangeClear"));
    for (int i = 0; i < range; ++i)
        QTest::keyClick(rangeBox, Qt::Key_Down);
    QCOMPARE(rangeBox->currentIndex(), range);
    ModalDriver driver;
    driver.answerBox(QMessageBox::Yes);
    driver.answerBox(QMessageBox::Ok);
    QTest::mouseClick(button(dlg, "btnClear"), Qt::LeftButton);
    QVERIFY(driver.allDone());

    QCOMPARE(driver.boxes.size(), 2);
    QCOMPARE(driver.boxes.at(0).summary(),
        QStringLiteral("Question | Confirm | Are you sure to clear? | Yes|No"));
    QCOMPARE(driver.boxes.at(1).summary(),
        result.arg(QStringLiteral("Critical | Error! | The game data of 1 users could not be "
                                  "removed | Ok")));

    for (int id = 1; id <= 5; ++id)
        QCOMPARE(env->userFolderExists(id), !cleared.contains(id) && id != 3);
    QCOMPARE(env->userIds(), IdList({ 1, 2, 3, 4, 5 }));
    QVERIFY(dlg.refreshUserList);
    QVERIFY(dlg.isVisible());
    dlg.reject();
}

void tst_SettingDlg::deleteInactiveUsers_data()
{
    QTest::addColumn<int>("range");
    QTest::addColumn<IdList>("deleted");
    QTest::addColumn<IdList>("blocked");
    QTest::addColumn<QString>("result");
    const QString ok = QStringLiteral("Information | Information | OK! | Ok");
    QTest::newRow("3 months") << 0 << IdList({ 1, 3, 4 }) << IdList() << ok;
    QTest::newRow("6 months") << 1 << IdList({ 1, 4 }) << IdList() << ok;
    // The rows go first, then the folders: one that cannot be removed is reported.
    QTest::newRow("a folder that stays")
        << 0 << IdList({ 1, 3, 4 }) << IdList({ 4 }) << QStringLiteral("%1");
}

void tst_SettingDlg::deleteInactiveUsers()
{
    QFETCH(int, range);
    QFETCH(IdList, deleted);
    QFETCH(IdList, blocked);
    QFETCH(QString, result);

    addUsersOfAllAges();
    for (int id : std::as_const(blocked))
        QVERIFY(env->blockUserFolder(id));
    CSettingDlg dlg(CServerSettings::instance(), CUserDb::instance(), nullptr);
    dlg.show();
    dlg.findChild<QComboBox *>(QStringLiteral("combRangeDelUser"))->setCurrentIndex(range);
    ModalDriver driver;
    driver.answerBox(QMessageBox::Yes);
    driver.answerBox(QMessageBox::Ok);
    QTest::mouseClick(button(dlg, "btnDelUser"), Qt::LeftButton);
    QVERIFY(driver.allDone());

    QCOMPARE(driver.boxes.size(), 2);
    QCOMPARE(driver.boxes.at(0).summary(),
        QStringLiteral("Question | Confirm | Are you sure to delete? | Yes|No"));
    QCOMPARE(driver.boxes.at(1).summary(),
        result.arg(QStringLiteral("Critical | Error! | The game data of 1 deleted users could not "
                                  "be removed | Ok")));

    IdList remaining;
    for (int id = 1; id <= 5; ++id) {
        QCOMPARE(env->userFolderExists(id), !deleted.contains(id) || blocked.contains(id));
        if (!deleted.contains(id))
            remaining.append(id);
    }
    QCOMPARE(env->userIds(), remaining);
    QVERIFY(dlg.refreshUserList);

    // Cancel afterwards does not undo it.
    QTest::mouseClick(button(dlg, "btnCancel"), Qt::LeftButton);
    QCOMPARE(dlg.result(), int(QDialog::Rejected));
    QCOMPARE(env->userIds(), remaining);
    QVERIFY(dlg.refreshUserList);
}

void tst_SettingDlg::refused_data()
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("mainText");
    QTest::addColumn<QString>("fileText");
    QTest::addColumn<QString>("message");

    const QString storage = env->storageDir();
    const QString dirMessage = QStringLiteral("Storage directory is empty or not exists");
    const QString mainMessage = QStringLiteral("Main control port is incorrect");
    const QString fileMessage = QStringLiteral("Game data transfer port is incorrect");

    const QString file = env->path(QStringLiteral("plain-file"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();

    QTest::newRow("empty dir, both ports bad") << QString() << "79"
                                               << "abc" << dirMessage;
    QTest::newRow("blank dir") << QStringLiteral("   ") << "3888"
                               << "3889" << dirMessage;
    QTest::newRow("missing dir") << env->path(QStringLiteral("gone")) << "3888"
                                 << "3889" << dirMessage;
    QTest::newRow("file instead of dir") << file << "3888"
                                         << "3889" << dirMessage;
    QTest::newRow("main 79") << storage << "79"
                             << "3889" << mainMessage;
    QTest::newRow("main 65536") << storage << "65536"
                                << "3889" << mainMessage;
    QTest::newRow("main 0") << storage << "0"
                            << "3889" << mainMessage;
    QTest::newRow("main negative") << storage << "-80"
                                   << "3889" << mainMessage;
    QTest::newRow("main text") << storage << "abc"
                               << "3889" << mainMessage;
    QTest::newRow("main empty") << storage << ""
                                << "3889" << mainMessage;
    QTest::newRow("main hex") << storage << "0x50"
                              << "3889" << mainMessage;
    QTest::newRow("main trailing junk") << storage << "3888x"
                                        << "3889" << mainMessage;
    QTest::newRow("both ports bad") << storage << "79"
                                    << "79" << mainMessage;
    QTest::newRow("file 79") << storage << "3888"
                             << "79" << fileMessage;
    QTest::newRow("file 65536") << storage << "3888"
                                << "65536" << fileMessage;
    QTest::newRow("file text") << storage << "3888"
                               << "port" << fileMessage;
    QTest::newRow("file empty") << storage << "3888"
                                << "" << fileMessage;
}

void tst_SettingDlg::refused()
{
    QFETCH(QString, dir);
    QFETCH(QString, mainText);
    QFETCH(QString, fileText);
    QFETCH(QString, message);

    const QString iniBefore = env->iniText();
    CSettingDlg dlg(CServerSettings::instance(), CUserDb::instance(), nullptr);
    dlg.show();
    retype(edit(dlg, "edSaveDir"), dir);
    retype(edit(dlg, "edMainPort"), mainText);
    retype(edit(dlg, "edFilePort"), fileText);
    ModalDriver driver;
    driver.answerBox(QMessageBox::Ok);
    QTest::mouseClick(button(dlg, "btnOk"), Qt::LeftButton);
    QVERIFY(driver.allDone());

    QCOMPARE(driver.boxes.size(), 1);
    QCOMPARE(
        driver.boxes.at(0).summary(), QStringLiteral("Warning | Warn! | %1 | Ok").arg(message));

    QVERIFY(dlg.isVisible());
    QCOMPARE(edit(dlg, "edSaveDir")->text(), dir);
    QCOMPARE(edit(dlg, "edMainPort")->text(), mainText);
    QCOMPARE(env->iniText(), iniBefore);
    const CServerSettings *settings = CServerSettings::instance();
    QCOMPARE(settings->saveDataDir, env->storageDir());
    QCOMPARE(settings->mainPort, 3888);
    QCOMPARE(settings->filePort, 3889);
    QVERIFY(!QFile::exists(env->runEntryPath()));
    dlg.reject();
}

void tst_SettingDlg::cancelOrEscapeSavesNothing_data()
{
    QTest::addColumn<bool>("escape");
    QTest::newRow("Cancel button") << false;
    QTest::newRow("Escape key") << true;
}

void tst_SettingDlg::cancelOrEscapeSavesNothing()
{
    QFETCH(bool, escape);

    const QString iniBefore = env->iniText();
    CSettingDlg dlg(CServerSettings::instance(), CUserDb::instance(), nullptr);
    ModalDriver driver;
    driver.act(&dlg, [&]() {
        retype(edit(dlg, "edMainPort"), QStringLiteral("4444"));
        QTest::mouseClick(dlg.findChild<QCheckBox *>(QStringLiteral("chkStart")), Qt::LeftButton);
        if (escape)
            QTest::keyClick(&dlg, Qt::Key_Escape);
        else
            QTest::mouseClick(button(dlg, "btnCancel"), Qt::LeftButton);
    });
    QCOMPARE(dlg.exec(), int(QDialog::Rejected));
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 0);
    QCOMPARE(env->iniText(), iniBefore);
    QCOMPARE(CServerSettings::instance()->mainPort, 3888);
    QVERIFY(CServerSettings::instance()->startWhenOSStarts);
    QVERIFY(!dlg.refreshUserList);
}

void tst_SettingDlg::clearOrDeleteAnsweredNo_data()
{
    QTest::addColumn<QString>("buttonName");
    QTest::newRow("clear") << QStringLiteral("btnClear");
    QTest::newRow("delete") << QStringLiteral("btnDelUser");
}

void tst_SettingDlg::clearOrDeleteAnsweredNo()
{
    QFETCH(QString, buttonName);

    addUsersOfAllAges();
    CSettingDlg dlg(CServerSettings::instance(), CUserDb::instance(), nullptr);
    dlg.show();
    ModalDriver driver;
    driver.answerBox(QMessageBox::No);
    QTest::mouseClick(dlg.findChild<QPushButton *>(buttonName), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 1);
    QCOMPARE(driver.boxes.at(0).title, QStringLiteral("Confirm"));
    QCOMPARE(env->userIds(), IdList({ 1, 2, 3, 4, 5 }));
    for (int id = 1; id <= 5; ++id)
        QVERIFY(env->userFolderExists(id));
    QVERIFY(!dlg.refreshUserList);
    dlg.reject();
}

void tst_SettingDlg::nothingMatchingStillSaysOk_data()
{
    QTest::addColumn<QString>("buttonName");
    QTest::newRow("clear") << QStringLiteral("btnClear");
    QTest::newRow("delete") << QStringLiteral("btnDelUser");
}

void tst_SettingDlg::nothingMatchingStillSaysOk()
{
    QFETCH(QString, buttonName);

    env->insertUser(1, QStringLiteral("active"), QStringLiteral("pw"),
        QDateTime::currentDateTime().addDays(-3));
    QVERIFY(env->makeUserFolder(1));
    CSettingDlg dlg(CServerSettings::instance(), CUserDb::instance(), nullptr);
    dlg.show();
    ModalDriver driver;
    driver.answerBox(QMessageBox::Yes);
    driver.answerBox(QMessageBox::Ok);
    QTest::mouseClick(dlg.findChild<QPushButton *>(buttonName), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 2);
    QCOMPARE(driver.boxes.at(1).text, QStringLiteral("OK!"));
    QVERIFY(!dlg.refreshUserList);
    QCOMPARE(env->userIds(), IdList({ 1 }));
    QVERIFY(env->userFolderExists(1));
    dlg.reject();
}

void tst_SettingDlg::deleteThenEmptyClearStillRefreshesUserPage()
{
    addUsersOfAllAges();
    CSettingDlg dlg(CServerSettings::instance(), CUserDb::instance(), nullptr);
    dlg.show();
    ModalDriver driver;
    for (int i = 0; i < 2; ++i) {
        driver.answerBox(QMessageBox::Yes);
        driver.answerBox(QMessageBox::Ok);
    }
    QTest::mouseClick(button(dlg, "btnDelUser"), Qt::LeftButton);
    QCOMPARE(env->userIds(), IdList({ 2, 5 }));
    QVERIFY(dlg.refreshUserList);
    // Nobody inactive is left, so this matches no one; the page still shows deleted users
    // until it is reloaded.
    QTest::mouseClick(button(dlg, "btnClear"), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 4);
    QVERIFY(dlg.refreshUserList);
    dlg.reject();
}

void tst_SettingDlg::purgeStoppedByDatabaseIsReported()
{
    addUsersOfAllAges();
    QVERIFY(QSqlQuery().exec(QStringLiteral("create trigger refuse before delete on t_user when "
                                            "old.object_id = 4 begin select raise(abort, 'disk "
                                            "on fire'); end")));
    const auto dropTrigger
        = qScopeGuard([] { QSqlQuery().exec(QStringLiteral("drop trigger refuse")); });
    CSettingDlg dlg(CServerSettings::instance(), CUserDb::instance(), nullptr);
    dlg.show();
    ModalDriver driver;
    driver.answerBox(QMessageBox::Yes);
    driver.answerBox(QMessageBox::Ok);
    QTest::mouseClick(button(dlg, "btnDelUser"), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 2);
    // The three inactive users share one transaction, which the database gave up whole.
    const QString text = driver.boxes.at(1).summary();
    QVERIFY2(text.startsWith(QStringLiteral("Critical | Error! | Deleting stopped after 0 of 3 "
                                            "users: "))
            && text.contains(QLatin1String("disk on fire")),
        qPrintable(text));
    QCOMPARE(env->userIds(), IdList({ 1, 2, 3, 4, 5 }));
    for (int id = 1; id <= 5; ++id)
        QVERIFY(env->userFolderExists(id));
    QVERIFY(!dlg.refreshUserList);
    dlg.reject();
}

void tst_SettingDlg::clearWorksInStoredDirectoryNotField()
{
    addUsersOfAllAges();
    const QString other = env->path(QStringLiteral("other"));
    QVERIFY(QDir().mkpath(other + QStringLiteral("/1")));

    CSettingDlg dlg(CServerSettings::instance(), CUserDb::instance(), nullptr);
    dlg.show();
    retype(edit(dlg, "edSaveDir"), other);
    ModalDriver driver;
    driver.answerBox(QMessageBox::Yes);
    driver.answerBox(QMessageBox::Ok);
    QTest::mouseClick(button(dlg, "btnClear"), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QVERIFY(!env->userFolderExists(1));
    QVERIFY(QFileInfo::exists(other + QStringLiteral("/1")));
    dlg.reject();
}

void tst_SettingDlg::unwritableFileIsReported_data()
{
    QTest::addColumn<bool>("iniReadOnly");
    QTest::newRow("read-only folder of the ini") << true;
    QTest::newRow("autostart folder blocked") << false;
}

void tst_SettingDlg::unwritableFileIsReported()
{
    QFETCH(bool, iniReadOnly);

    const QString folder = env->path(QStringLiteral("readonly"));
    const QString ini = folder + QStringLiteral("/tolvern.ini");
    const QString autostart = QFileInfo(env->runEntryPath()).path();
    CServerSettings *settings = CServerSettings::instance();
    const QString root = env->path(QString());
    const QFile::Permissions rootPermissions = QFile::permissions(root);
    const auto restore = qScopeGuard([&] {
        QFile::setPermissions(root, rootPermissions);
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QDir(folder).removeRecursively();
        QFile::remove(autostart);
        settings->setIniFilePath(env->iniPath());
    });
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QFile::copy(env->iniPath(), ini));
    settings->setIniFilePath(ini);
    if (iniReadOnly) {
        // The other user must reach the storage directory and the ini, but not write there.
        QVERIFY(QFile::setPermissions(root, rootPermissions | QFile::ExeOther | QFile::ReadOther));
        QVERIFY(!testsupport::runningAsRoot() || testsupport::giveToOtherUser(folder));
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    } else {
        // A plain file where the autostart folder belongs.
        QVERIFY(QDir(autostart).removeRecursively());
        QFile blocker(autostart);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    const QString iniBefore = UiTestEnv::fileText(ini);

    CSettingDlg dlg(CServerSettings::instance(), CUserDb::instance(), nullptr);
    dlg.show();
    retype(edit(dlg, "edMainPort"), QStringLiteral("4000"));
    ModalDriver driver;
    driver.answerBox(QMessageBox::Ok);
    {
        std::optional<testsupport::UnprivilegedScope> scope;
        if (iniReadOnly)
            scope.emplace();
        QVERIFY(!scope || scope->ok());
        QTest::mouseClick(button(dlg, "btnOk"), Qt::LeftButton);
    }
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 1);
    const ModalDriver::Box box = driver.boxes.at(0);
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.title, QStringLiteral("Error!"));
    // The file and the reason are named; the dialog stays open for another try.
    const QString expected = iniReadOnly
        ? QStringLiteral("Settings could not be saved to %1: ").arg(ini)
        : QStringLiteral("Autostart entry could not be written: %1: ").arg(env->runEntryPath());
    QVERIFY2(
        box.text.startsWith(expected) && box.text.size() > expected.size(), qPrintable(box.text));
    QVERIFY(dlg.isVisible());
    if (iniReadOnly) {
        QCOMPARE(UiTestEnv::fileText(ini), iniBefore);
        QCOMPARE(settings->mainPort, 3888);
    } else {
        QCOMPARE(settings->mainPort, 4000);
    }
    dlg.reject();
}

QTEST_MAIN(tst_SettingDlg)
#include "tst_settingdlg.moc"
