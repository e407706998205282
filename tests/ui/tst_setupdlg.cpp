#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

#include "csetupdlg.h"
#include "cserversettings.h"
#include "modaldriver.h"
#include "uitestenv.h"

class tst_SetupDlg : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    // happy flows
    void windowAndFocusOrder();
    void acceptedDirectory_data();
    void acceptedDirectory();
    void browsedFolderIsShownAndAccepted();
    void browseCancelledKeepsField();

    // rainy-day flows
    void refusedDirectory_data();
    void refusedDirectory();
    void unwritableIniIsReported();
    void enterInFieldPressesOk();
    void closeOrEscapeWritesNothing_data();
    void closeOrEscapeWritesNothing();

private:
    static QLineEdit *edDir(CSetupDlg &dlg)
    {
        return dlg.findChild<QLineEdit *>(QStringLiteral("edDir"));
    }
    static QPushButton *button(CSetupDlg &dlg, const char *name)
    {
        return dlg.findChild<QPushButton *>(QLatin1String(name));
    }
    // Drives the folder chooser: caption and start folder are noted, target is typed.
    static void chooseFolder(
        ModalDriver &driver, const QString &target, QString *caption, QString *startDir);

    UiTestEnv *env = nullptr;
};

void tst_SetupDlg::chooseFolder(
    ModalDriver &driver, const QString &target, QString *caption, QString *startDir)
{
    driver.actOn([](QWidget *w) { return qobject_cast<QFileDialog *>(w) != nullptr; },
        [=](QWidget *w) {
            auto *chooser = static_cast<QFileDialog *>(w);
            *caption = chooser->windowTitle();
            *startDir = chooser->directory().absolutePath();
            if (target.isNull()) {
                chooser->reject();
                return;
            }
            if (auto *name = chooser->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                name->setText(target);
            QMetaObject::invokeMethod(chooser, "accept");
        });
}

void tst_SetupDlg::initTestCase()
{
    env = new UiTestEnv;
    QVERIFY(env->isValid());
    QVERIFY(QDir::setCurrent(env->path(QString())));
}

void tst_SetupDlg::cleanupTestCase()
{
    delete env;
    env = nullptr;
}

void tst_SetupDlg::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral("No matching signal for on_")));
    // A first start: no ini file, no autostart entry.
    QFile::remove(env->iniPath());
    QFile::remove(env->runEntryPath());
    CServerSettings::instance()->load();
    QVERIFY(CServerSettings::instance()->saveDataDir.isEmpty());
}

void tst_SetupDlg::cleanup()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (const QWidget *w : windows)
        QVERIFY2(!w->isVisible(), qPrintable(w->objectName()));
}

void tst_SetupDlg::windowAndFocusOrder()
{
    CSetupDlg dlg(CServerSettings::instance(), nullptr);
    QCOMPARE(dlg.windowTitle(), QStringLiteral("Setup"));
    QCOMPARE(dlg.size(), QSize(385, 121));
    // A title bar with the title, no close button; frameless would lose the bar on X11.
    QCOMPARE(dlg.windowFlags(), Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    QVERIFY(!dlg.windowIcon().isNull());
    QCOMPARE(UiTestEnv::tabOrder(&dlg),
        QStringList({ QStringLiteral("edDir"), QStringLiteral("btnBrow"), QStringLiteral("btnOk"),
            QStringLiteral("btnClose") }));
    QVERIFY(button(dlg, "btnOk")->isDefault());
    QVERIFY(edDir(dlg)->text().isEmpty());
    QVERIFY(!edDir(dlg)->validator());
}

void tst_SetupDlg::acceptedDirectory_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("stored");

    const QString storage = env->storageDir();
    QTest::newRow("plain") << storage << storage;
    QTest::newRow("surrounding blanks")
        << QStringLiteral("  ") + storage + QStringLiteral("\t ") << storage;
    QTest::newRow("trailing slash kept as typed")
        << storage + QStringLiteral("/") << storage + QStringLiteral("/");
}

void tst_SetupDlg::acceptedDirectory()
{
    QFETCH(QString, typed);
    QFETCH(QString, stored);

    // Ports come from the ini that start-up loaded; autostart is switched on regardless.
    env->writeIni(QString(), 4000, 4001, false);

    CSetupDlg dlg(CServerSettings::instance(), nullptr);
    ModalDriver driver;
    driver.act(&dlg, [&]() {
        QTest::keyClicks(edDir(dlg), typed);
        QTest::mouseClick(button(dlg, "btnOk"), Qt::LeftButton);
    });
    QCOMPARE(dlg.exec(), int(QDialog::Accepted));
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 0);

    CServerSettings *settings = CServerSettings::instance();
    QCOMPARE(settings->saveDataDir, stored);
    QCOMPARE(settings->startWhenOSStarts, true);
    QCOMPARE(env->iniValue(QStringLiteral("SaveDataDir")), stored);
    QCOMPARE(env->iniValue(QStringLiteral("MainPort")), QStringLiteral("4000"));
    QCOMPARE(env->iniValue(QStringLiteral("FilePort")), QStringLiteral("4001"));
    QCOMPARE(env->iniValue(QStringLiteral("StartWhenOSStarts")), QStringLiteral("true"));
    QCOMPARE(env->runExec(), UiTestEnv::quotedExecutable());
}

void tst_SetupDlg::browsedFolderIsShownAndAccepted()
{
    const QString target = env->path(QStringLiteral("chosen"));
    QVERIFY(QDir().mkpath(target));

    CSetupDlg dlg(CServerSettings::instance(), nullptr);
    dlg.show();
    QString caption;
    QString startDir;
    ModalDriver driver;
    chooseFolder(driver, target, &caption, &startDir);
    QTest::mouseClick(button(dlg, "btnBrow"), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QCOMPARE(caption, QStringLiteral("Select Directory"));
    QCOMPARE(startDir, QDir::currentPath());
    // The field must still name the chosen folder, or OK would refuse it.
    QCOMPARE(edDir(dlg)->text(), QDir::toNativeSeparators(target));

    QTest::mouseClick(button(dlg, "btnOk"), Qt::LeftButton);
    QCOMPARE(driver.boxes.size(), 0);
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QCOMPARE(env->iniValue(QStringLiteral("SaveDataDir")), target);
}

void tst_SetupDlg::browseCancelledKeepsField()
{
    CSetupDlg dlg(CServerSettings::instance(), nullptr);
    dlg.show();
    QTest::keyClicks(edDir(dlg), QStringLiteral("typed by hand"));
    QString caption;
    QString startDir;
    ModalDriver driver;
    chooseFolder(driver, QString(), &caption, &startDir);
    QTest::mouseClick(button(dlg, "btnBrow"), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QCOMPARE(edDir(dlg)->text(), QStringLiteral("typed by hand"));
    QVERIFY(dlg.isVisible());
    dlg.reject();
}

void tst_SetupDlg::refusedDirectory_data()
{
    QTest::addColumn<QString>("typed");

    const QString file = env->path(QStringLiteral("not-a-folder.txt"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();

    QTest::newRow("empty") << QString();
    QTest::newRow("blanks only") << QStringLiteral("    ");
    QTest::newRow("existing file") << file;
    QTest::newRow("missing folder") << env->path(QStringLiteral("no/such/folder"));
}

void tst_SetupDlg::refusedDirectory()
{
    QFETCH(QString, typed);

    CSetupDlg dlg(CServerSettings::instance(), nullptr);
    dlg.show();
    QTest::keyClicks(edDir(dlg), typed);
    ModalDriver driver;
    driver.answerBox(QMessageBox::Ok);
    QTest::mouseClick(button(dlg, "btnOk"), Qt::LeftButton);

    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 1);
    QCOMPARE(driver.boxes.at(0).summary(),
        QStringLiteral("Critical | Error! | Directory is empty or not exists | Ok"));
    QVERIFY(dlg.isVisible());
    QCOMPARE(edDir(dlg)->text(), typed);
    QVERIFY(CServerSettings::instance()->saveDataDir.isEmpty());
    QVERIFY(!QFile::exists(env->iniPath()));
    QVERIFY(!QFile::exists(env->runEntryPath()));
    dlg.reject();
}

void tst_SetupDlg::unwritableIniIsReported()
{
    // A plain file where the ini's folder belongs: no save can succeed, not even as root.
    const QString blocker = env->path(QStringLiteral("blocker"));
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const QString ini = blocker + QStringLiteral("/tolvern.ini");
    CServerSettings *settings = CServerSettings::instance();
    settings->setIniFilePath(ini);
    const auto restore = qScopeGuard([&] {
        settings->setIniFilePath(env->iniPath());
        QFile::remove(blocker);
    });

    CSetupDlg dlg(CServerSettings::instance(), nullptr);
    dlg.show();
    QTest::keyClicks(edDir(dlg), env->storageDir());
    ModalDriver driver;
    driver.answerBox(QMessageBox::Ok);
    QTest::mouseClick(button(dlg, "btnOk"), Qt::LeftButton);

    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 1);
    const QString prefix
        = QStringLiteral("Critical | Error! | Settings could not be saved to %1: ").arg(ini);
    const QString summary = driver.boxes.at(0).summary();
    QVERIFY2(summary.startsWith(prefix), qPrintable(summary));
    // Not accepted, nothing stored, no autostart entry.
    QVERIFY(dlg.isVisible());
    QVERIFY(settings->saveDataDir.isEmpty());
    QVERIFY(!QFile::exists(env->runEntryPath()));
    dlg.reject();
}

void tst_SetupDlg::enterInFieldPressesOk()
{
    CSetupDlg dlg(CServerSettings::instance(), nullptr);
    dlg.show();
    edDir(dlg)->setFocus();
    ModalDriver driver;
    driver.answerBox(QMessageBox::Ok);
    QTest::keyClick(edDir(dlg), Qt::Key_Return);
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 1);
    QCOMPARE(driver.boxes.at(0).text, QStringLiteral("Directory is empty or not exists"));

    QTest::keyClicks(edDir(dlg), env->storageDir());
    QTest::keyClick(edDir(dlg), Qt::Key_Enter);
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QCOMPARE(driver.boxes.size(), 1);
}

void tst_SetupDlg::closeOrEscapeWritesNothing_data()
{
    QTest::addColumn<bool>("escape");
    QTest::newRow("Close button") << false;
    QTest::newRow("Escape key") << true;
}

void tst_SetupDlg::closeOrEscapeWritesNothing()
{
    QFETCH(bool, escape);

    CSetupDlg dlg(CServerSettings::instance(), nullptr);
    ModalDriver driver;
    driver.act(&dlg, [&]() {
        QTest::keyClicks(edDir(dlg), env->storageDir());
        if (escape)
            QTest::keyClick(&dlg, Qt::Key_Escape);
        else
            QTest::mouseClick(button(dlg, "btnClose"), Qt::LeftButton);
    });
    QCOMPARE(dlg.exec(), int(QDialog::Rejected));
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 0);
    QVERIFY(CServerSettings::instance()->saveDataDir.isEmpty());
    QVERIFY(!QFile::exists(env->iniPath()));
    QVERIFY(!QFile::exists(env->runEntryPath()));
}

QTEST_MAIN(tst_SetupDlg)
#include "tst_setupdlg.moc"
