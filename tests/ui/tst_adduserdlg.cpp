#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTest>

#include "cadduserdlg.h"
#include "cuserdb.h"
#include "modaldriver.h"
#include "uitestenv.h"

class tst_AddUserDlg : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    // happy flows
    void windowFocusOrderAndEcho();
    void acceptedUserIsStoredTrimmed();

    // rainy-day flows
    void refused_data();
    void refused();
    void sameNameTwiceFromTwoDialogs();
    void failedInsertIsReported();
    void cancelEscapeOrCloseAddNothing_data();
    void cancelEscapeOrCloseAddNothing();

private:
    QLineEdit *edit(CAddUserDlg &dlg, const char *name)
    {
        return dlg.findChild<QLineEdit *>(QLatin1String(name));
    }
    QPushButton *button(CAddUserDlg &dlg, const char *name)
    {
        return dlg.findChild<QPushButton *>(QLatin1String(name));
    }

    UiTestEnv *env = nullptr;
};

void tst_AddUserDlg::initTestCase()
{
    env = new UiTestEnv;
    QVERIFY(env->isValid());
}

void tst_AddUserDlg::cleanupTestCase()
{
    delete env;
    env = nullptr;
}

void tst_AddUserDlg::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral("No matching signal for on_")));
    env->resetUsers();
    env->insertUser(1, QStringLiteral("bob"), QStringLiteral("pw"));
}

void tst_AddUserDlg::cleanup()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (const QWidget *w : windows)
        QVERIFY2(!w->isVisible(), qPrintable(w->objectName()));
}

void tst_AddUserDlg::windowFocusOrderAndEcho()
{
    CAddUserDlg dlg(CUserDb::instance(), nullptr);
    QCOMPARE(dlg.windowTitle(), QStringLiteral("Add User"));
    QCOMPARE(dlg.size(), QSize(302, 143));
    // A title bar with the title, no close button; frameless would lose the bar on X11.
    QCOMPARE(dlg.windowFlags(), Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    // The labels show their whole text in the platform's font.
    for (QLabel *label : dlg.findChildren<QLabel *>()) {
        const int needed = label->fontMetrics().horizontalAdvance(label->text());
        QVERIFY2(needed <= label->contentsRect().width(),
            qPrintable(QStringLiteral("%1 needs %2 px, has %3")
                           .arg(label->text())
                           .arg(needed)
                           .arg(label->contentsRect().width())));
    }
    QCOMPARE(UiTestEnv::tabOrder(&dlg),
        QStringList({ QStringLiteral("edName"), QStringLiteral("btnOk"), QStringLiteral("edPass"),
            QStringLiteral("btnCancel") }));
    QCOMPARE(edit(dlg, "edPass")->echoMode(), QLineEdit::Normal);
    QVERIFY(!button(dlg, "btnOk")->isDefault());
    QVERIFY(!button(dlg, "btnCancel")->isDefault());
}

void tst_AddUserDlg::acceptedUserIsStoredTrimmed()
{
    QSignalSpy added(CUserDb::instance(), &CUserDb::userAdd);
    CAddUserDlg dlg(CUserDb::instance(), nullptr);
    ModalDriver driver;
    driver.act(&dlg, [&]() {
        QTest::keyClicks(edit(dlg, "edName"), QStringLiteral("  alice "));
        QTest::keyClicks(edit(dlg, "edPass"), QStringLiteral(" se cret  "));
        QTest::mouseClick(button(dlg, "btnOk"), Qt::LeftButton);
    });
    QCOMPARE(dlg.exec(), int(QDialog::Accepted));
    QCOMPARE(driver.boxes.size(), 0);

    QCOMPARE(added.count(), 1);
    QCOMPARE(added.at(0).at(0).toInt(), 2);
    QCOMPARE(added.at(0).at(1).toString(), QStringLiteral("alice"));
    QSqlQuery query;
    QVERIFY(query.exec(QStringLiteral(
        "select name, password, is_enabled, last_login from t_user where object_id = 2")));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toString(), QStringLiteral("alice"));
    QVERIFY(env->storesHashOf(2, QStringLiteral("se cret")));
    QCOMPARE(query.value(2).toString(), QStringLiteral("Y"));
    QVERIFY(query.value(3).isNull());
}

void tst_AddUserDlg::refused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("message");

    QTest::newRow("empty name") << QString() << QStringLiteral("pw")
                                << QStringLiteral("User name is empty");
    QTest::newRow("blank name") << QStringLiteral("   ") << QStringLiteral("pw")
                                << QStringLiteral("User name is empty");
    QTest::newRow("blank name and no password")
        << QStringLiteral(" ") << QString() << QStringLiteral("User name is empty");
    QTest::newRow("existing name") << QStringLiteral("bob") << QStringLiteral("other")
                                   << QStringLiteral("User name [bob] already exists");
    // The name check comes before the password is looked at.
    QTest::newRow("existing name, empty password")
        << QStringLiteral("bob") << QString() << QStringLiteral("User name [bob] already exists");
    QTest::newRow("existing name with blanks") << QStringLiteral("  bob ") << QStringLiteral("x")
                                               << QStringLiteral("User name [bob] already exists");
    QTest::newRow("empty password")
        << QStringLiteral("carol") << QString() << QStringLiteral("Password is empty");
    QTest::newRow("blank password")
        << QStringLiteral("carol") << QStringLiteral("    ") << QStringLiteral("Password is empty");
    // Names differ by case: Bob is free, so the password is the next thing checked.
    QTest::newRow("other case is another name")
        << QStringLiteral("Bob") << QString() << QStringLiteral("Password is empty");
}

void tst_AddUserDlg::refused()
{
    QFETCH(QString, name);
    QFETCH(QString, password);
    QFETCH(QString, message);

    QSignalSpy added(CUserDb::instance(), &CUserDb::userAdd);
    CAddUserDlg dlg(CUserDb::instance(), nullptr);
    dlg.show();
    QTest::keyClicks(edit(dlg, "edName"), name);
    QTest::keyClicks(edit(dlg, "edPass"), password);
    ModalDriver driver;
    driver.answerBox(QMessageBox::Ok);
    QTest::mouseClick(button(dlg, "btnOk"), Qt::LeftButton);

    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 1);
    QCOMPARE(
        driver.boxes.at(0).summary(), QStringLiteral("Warning | Warn! | %1 | Ok").arg(message));

    QVERIFY(dlg.isVisible());
    QCOMPARE(edit(dlg, "edName")->text(), name);
    QCOMPARE(edit(dlg, "edPass")->text(), password);
    QCOMPARE(added.count(), 0);
    QCOMPARE(env->userIds(), QList<int>({ 1 }));
    dlg.reject();
}

void tst_AddUserDlg::sameNameTwiceFromTwoDialogs()
{
    QSignalSpy added(CUserDb::instance(), &CUserDb::userAdd);
    for (int attempt = 0; attempt < 2; ++attempt) {
        CAddUserDlg dlg(CUserDb::instance(), nullptr);
        ModalDriver driver;
        driver.act(&dlg, [&]() {
            QTest::keyClicks(edit(dlg, "edName"), QStringLiteral("dave"));
            QTest::keyClicks(edit(dlg, "edPass"), QStringLiteral("pw"));
            QTest::mouseClick(button(dlg, "btnOk"), Qt::LeftButton);
        });
        if (attempt == 1) {
            driver.answerBox(QMessageBox::Ok);
            driver.act(
                &dlg, [&]() { QTest::mouseClick(button(dlg, "btnCancel"), Qt::LeftButton); });
        }
        const int result = dlg.exec();
        QVERIFY(driver.allDone());
        if (attempt == 0) {
            QCOMPARE(result, int(QDialog::Accepted));
            QCOMPARE(driver.boxes.size(), 0);
        } else {
            QCOMPARE(result, int(QDialog::Rejected));
            QCOMPARE(driver.boxes.size(), 1);
            QCOMPARE(driver.boxes.at(0).text, QStringLiteral("User name [dave] already exists"));
        }
    }
    QCOMPARE(added.count(), 1);
    QCOMPARE(env->userIds(), QList<int>({ 1, 2 }));
}

void tst_AddUserDlg::failedInsertIsReported()
{
    QSqlQuery query;
    QVERIFY(query.exec(QStringLiteral("create trigger refuse_insert before insert on t_user "
                                      "begin select raise(abort, 'refused'); end")));
    QSignalSpy added(CUserDb::instance(), &CUserDb::userAdd);

    CAddUserDlg dlg(CUserDb::instance(), nullptr);
    dlg.show();
    QTest::keyClicks(edit(dlg, "edName"), QStringLiteral("erin"));
    QTest::keyClicks(edit(dlg, "edPass"), QStringLiteral("pw"));
    ModalDriver driver;
    driver.answerBox(QMessageBox::Ok);
    QTest::mouseClick(button(dlg, "btnOk"), Qt::LeftButton);
    QVERIFY(query.exec(QStringLiteral("drop trigger refuse_insert")));

    QCOMPARE(driver.boxes.size(), 1);
    QCOMPARE(
        driver.boxes.at(0).summary(), QStringLiteral("Warning | Warn! | User create failed | Ok"));
    QVERIFY(dlg.isVisible());
    QCOMPARE(added.count(), 0);
    QCOMPARE(env->userIds(), QList<int>({ 1 }));
    dlg.reject();
}

void tst_AddUserDlg::cancelEscapeOrCloseAddNothing_data()
{
    QTest::addColumn<int>("how");
    QTest::newRow("Cancel button") << 0;
    QTest::newRow("Escape key") << 1;
    QTest::newRow("close request") << 2;
}

void tst_AddUserDlg::cancelEscapeOrCloseAddNothing()
{
    QFETCH(int, how);

    QSignalSpy added(CUserDb::instance(), &CUserDb::userAdd);
    CAddUserDlg dlg(CUserDb::instance(), nullptr);
    ModalDriver driver;
    driver.act(&dlg, [&]() {
        QTest::keyClicks(edit(dlg, "edName"), QStringLiteral("frank"));
        QTest::keyClicks(edit(dlg, "edPass"), QStringLiteral("pw"));
        if (how == 0)
            QTest::mouseClick(button(dlg, "btnCancel"), Qt::LeftButton);
        else if (how == 1)
            QTest::keyClick(&dlg, Qt::Key_Escape);
        else
            dlg.close();
    });
    QCOMPARE(dlg.exec(), int(QDialog::Rejected));
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 0);
    QCOMPARE(added.count(), 0);
    QCOMPARE(env->userIds(), QList<int>({ 1 }));
}

QTEST_MAIN(tst_AddUserDlg)
#include "tst_adduserdlg.moc"
