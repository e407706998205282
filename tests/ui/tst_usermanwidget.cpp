#include <QApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QInputDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableWidget>
#include <QTest>
#include <QTreeWidget>

#include "cadduserdlg.h"
#include "csavehistorydlg.h"
#include "csavestore.h"
#include "cserversettings.h"
#include "cuserdb.h"
#include "cusermanwidget.h"
#include "modaldriver.h"
#include "uitestenv.h"

using IdList = QList<int>;

class tst_UserManWidget : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    // happy flows
    void tableSetup();
    void buttonIcons_data();
    void buttonIcons();
    void buttonStatesFollowSelection_data();
    void buttonStatesFollowSelection();
    void refreshOrdersByLastLoginNewestFirst();
    void userAddedElsewhereShowsAtTop();
    void loginElsewhereUpdatesThatRow();
    void deleteSelectedUsersInAnyOrder_data();
    void deleteSelectedUsersInAnyOrder();
    void browseOpensUserFolder();
    void clearRemovesSelectedUsersData();
    void changePasswordStoresTextAsTyped();
    void changePasswordActsOnFirstSelectedUser();
    void addButtonRunsAddUserDialog();
    void mnemonicsAndShortcutsBothWork_data();
    void mnemonicsAndShortcutsBothWork();
    void filterNarrowsByNameOrId_data();
    void filterNarrowsByNameOrId();
    void headerClickSortsAndKeepsFilter();

    // large tables
    void largeSelectionsAndDeletes_data();
    void largeSelectionsAndDeletes();
    void saveHistoryRestoresVersion();

    // rainy-day flows
    void deleteWithNothingSelectedAfterReload();
    void deleteAnsweredNoOrCancel_data();
    void deleteAnsweredNoOrCancel();
    void browseMissingFolderIsReported();
    void clearAnsweredNoChangesNothing();
    void clearReportsDataThatStays();
    void changePasswordCancelledOrEmptied_data();
    void changePasswordCancelledOrEmptied();
    void changePasswordForUserNoLongerStored();
    void changePasswordForUserDeletedWhileAsking();
    void loginAfterRowsWentAway();

private:
    static QTableWidget *table(CUserManWidget &page)
    {
        return page.findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    }
    static QPushButton *button(CUserManWidget &page, const QString &name)
    {
        return page.findChild<QPushButton *>(name);
    }
    static IdList rowIds(CUserManWidget &page);
    static void clickRow(
        CUserManWidget &page, int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    static int rowOf(CUserManWidget &page, int objectId);
    // Shown and active, so that the buttons' shortcuts work.
    static bool showPage(CUserManWidget &page);
    // Presses key on the page; true once the button it is bound to has been clicked (a
    // shortcut clicks after a short animation) and its slot has returned.
    static bool pressShortcut(CUserManWidget &page, Qt::Key key, const QString &buttonName,
        Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    // Ids of the rows not hidden by the filter, top to bottom.
    static IdList visibleIds(CUserManWidget &page);
    // Users 1..count in one transaction, shown as count, ..., 1; no data folders.
    static bool insertManyUsers(int count);
    // Users 1..6, shown as 6, 5, 4, 3, 2, 1 (newest login first), each with a data folder.
    void addSixUsers();

    UiTestEnv *env = nullptr;
};

IdList tst_UserManWidget::rowIds(CUserManWidget &page)
{
    IdList ids;
    QTableWidget *t = table(page);
    for (int row = 0; row < t->rowCount(); ++row)
        ids.append(t->item(row, 0) ? t->item(row, 0)->data(Qt::UserRole).toInt() : -1);
    return ids;
}

void tst_UserManWidget::clickRow(CUserManWidget &page, int row, Qt::KeyboardModifiers modifiers)
{
    QTableWidget *t = table(page);
    const QRect cell = t->visualItemRect(t->item(row, 1));
    QTest::mouseClick(t->viewport(), Qt::LeftButton, modifiers, cell.center());
}

bool tst_UserManWidget::showPage(CUserManWidget &page)
{
    page.show();
    page.activateWindow();
    return QTest::qWaitForWindowActive(&page);
}

bool tst_UserManWidget::pressShortcut(
    CUserManWidget &page, Qt::Key key, const QString &buttonName, Qt::KeyboardModifiers modifiers)
{
    QSignalSpy clicked(button(page, buttonName), &QAbstractButton::clicked);
    QTest::keyClick(&page, key, modifiers);
    return clicked.count() == 1 || clicked.wait();
}

IdList tst_UserManWidget::visibleIds(CUserManWidget &page)
{
    IdList ids;
    QTableWidget *t = table(page);
    for (int row = 0; row < t->rowCount(); ++row) {
        if (!t->isRowHidden(row))
            ids.append(t->item(row, 0)->data(Qt::UserRole).toInt());
    }
    return ids;
}

bool tst_UserManWidget::insertManyUsers(int count)
{
    QSqlDatabase db = QSqlDatabase::database();
    if (!db.transaction())
        return false;
    QSqlQuery query;
    query.prepare(QStringLiteral("insert into t_user (object_id, name, password, is_enabled, "
                                 "last_login) values (?, ?, 'pw', 'Y', ?)"));
    const QDateTime base(QDate(2026, 1, 1), QTime(0, 0, 0));
    for (int id = 1; id <= count; ++id) {
        query.bindValue(0, id);
        query.bindValue(1, QStringLiteral("user%1").arg(id));
        query.bindValue(2, CUserDb::dateTimeText(base.addSecs(id)));
        if (!query.exec())
            return false;
    }
    return db.commit();
}

int tst_UserManWidget::rowOf(CUserManWidget &page, int objectId)
{
    return rowIds(page).indexOf(objectId);
}

void tst_UserManWidget::addSixUsers()
{
    const QDateTime base(QDate(2026, 1, 10), QTime(12, 0, 0));
    for (int id = 1; id <= 6; ++id) {
        env->insertUser(
            id, QStringLiteral("user%1").arg(id), QStringLiteral("pw%1").arg(id), base.addDays(id));
        QVERIFY(env->makeUserFolder(id));
    }
}

void tst_UserManWidget::initTestCase()
{
    env = new UiTestEnv;
    QVERIFY(env->isValid());
}

void tst_UserManWidget::cleanupTestCase()
{
    delete env;
    env = nullptr;
}

void tst_UserManWidget::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral("No matching signal for on_")));
    env->resetUsers();
}

void tst_UserManWidget::cleanup()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (const QWidget *w : windows)
        QVERIFY2(!w->isVisible(), qPrintable(w->objectName()));
}

void tst_UserManWidget::tableSetup()
{
    QWidget host;
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), &host);
    QCOMPARE(page.windowType(), Qt::Widget);
    QTableWidget *t = table(page);
    QCOMPARE(t->columnCount(), 3);
    QCOMPARE(t->horizontalHeaderItem(0)->text(), QStringLiteral("ID"));
    QCOMPARE(t->horizontalHeaderItem(1)->text(), QStringLiteral("User Name"));
    QCOMPARE(t->horizontalHeaderItem(2)->text(), QStringLiteral("Lastest Login"));
    QCOMPARE(t->selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(t->selectionMode(), QAbstractItemView::ExtendedSelection);
    QCOMPARE(t->editTriggers(), QAbstractItemView::NoEditTriggers);
    QVERIFY(!t->showDropIndicator());
}

void tst_UserManWidget::buttonIcons_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("icon");

    QTest::newRow("btnRefresh") << "btnRefresh"
                                << ":/images/refresh.png";
    QTest::newRow("btnAdd") << "btnAdd"
                            << ":/images/add.png";
    QTest::newRow("btnDel") << "btnDel"
                            << ":/images/del.png";
    QTest::newRow("btnBrow") << "btnBrow"
                             << ":/images/open.png";
    QTest::newRow("btnChangePass") << "btnChangePass"
                                   << ":/images/pass.png";
    QTest::newRow("btnClear") << "btnClear"
                              << ":/images/clear.png";
}

void tst_UserManWidget::buttonIcons()
{
    QFETCH(QString, name);
    QFETCH(QString, icon);

    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QPushButton *b = button(page, name);
    QVERIFY(b);
    QCOMPARE(b->iconSize(), QSize(24, 24));
    const QImage expected = QIcon(icon).pixmap(24, 24).toImage();
    QVERIFY(!expected.isNull());
    QCOMPARE(b->icon().pixmap(24, 24).toImage(), expected);
}

void tst_UserManWidget::buttonStatesFollowSelection_data()
{
    QTest::addColumn<IdList>("rows");
    QTest::addColumn<bool>("del");
    QTest::addColumn<bool>("add");
    QTest::addColumn<bool>("browse");
    QTest::addColumn<bool>("clear");
    QTest::addColumn<bool>("history");

    QTest::newRow("nothing selected") << IdList() << false << true << false << false << false;
    QTest::newRow("one user") << IdList({ 2 }) << true << false << true << true << true;
    QTest::newRow("two users") << IdList({ 0, 3 }) << true << false << false << true << false;
    QTest::newRow("three users") << IdList({ 5, 1, 4 }) << true << false << false << true << false;
}

void tst_UserManWidget::buttonStatesFollowSelection()
{
    QFETCH(IdList, rows);
    QFETCH(bool, del);
    QFETCH(bool, add);
    QFETCH(bool, browse);
    QFETCH(bool, clear);
    QFETCH(bool, history);

    addSixUsers();
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    for (int i = 0; i < rows.size(); ++i)
        clickRow(page, rows.at(i), i == 0 ? Qt::NoModifier : Qt::ControlModifier);

    QCOMPARE(button(page, QStringLiteral("btnDel"))->isEnabled(), del);
    QCOMPARE(button(page, QStringLiteral("btnAdd"))->isEnabled(), add);
    QCOMPARE(button(page, QStringLiteral("btnBrow"))->isEnabled(), browse);
    QCOMPARE(button(page, QStringLiteral("btnClear"))->isEnabled(), clear);
    QCOMPARE(button(page, QStringLiteral("btnHistory"))->isEnabled(), history);
    QVERIFY(button(page, QStringLiteral("btnRefresh"))->isEnabled());
    QVERIFY(button(page, QStringLiteral("btnChangePass"))->isEnabled());
}

void tst_UserManWidget::refreshOrdersByLastLoginNewestFirst()
{
    env->insertUser(1, QStringLiteral("never1"), QStringLiteral("a"));
    env->insertUser(2, QStringLiteral("january"), QStringLiteral("b"),
        QDateTime(QDate(2026, 1, 5), QTime(10, 0, 0)));
    env->insertUser(3, QStringLiteral("march"), QStringLiteral("c"),
        QDateTime(QDate(2026, 3, 1), QTime(8, 30, 59)));
    env->insertUser(4, QStringLiteral("never2"), QStringLiteral("d"));
    env->insertUser(5, QStringLiteral("newyear"), QStringLiteral("e"),
        QDateTime(QDate(2025, 12, 31), QTime(23, 59, 0)));

    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    QTableWidget *t = table(page);
    QCOMPARE(t->rowCount(), 5);
    const IdList ids = rowIds(page);
    QCOMPARE(ids.mid(0, 3), IdList({ 3, 2, 5 }));
    QVERIFY(ids.mid(3) == IdList({ 1, 4 }) || ids.mid(3) == IdList({ 4, 1 }));

    QCOMPARE(t->item(0, 0)->text(), QStringLiteral("3"));
    QCOMPARE(t->item(0, 1)->text(), QStringLiteral("march"));
    QCOMPARE(t->item(0, 2)->text(), QStringLiteral("26-03-01 08:30"));
    QCOMPARE(t->item(2, 2)->text(), QStringLiteral("25-12-31 23:59"));
    QCOMPARE(t->item(3, 2)->text(), QString());
    for (int row = 0; row < t->rowCount(); ++row) {
        for (int column = 0; column < 3; ++column)
            QCOMPARE(t->item(row, column)->textAlignment(), int(Qt::AlignCenter));
        QCOMPARE(t->item(row, 0)->data(Qt::UserRole).metaType().id(), QMetaType::Int);
    }

    // A login stored since the last reload moves its user to the top on F5.
    QSqlQuery query;
    QVERIFY(query.exec(QStringLiteral(
        "update t_user set last_login = '2026-04-02T07:05:00' where object_id = 4")));
    env->insertUser(6, QStringLiteral("late"), QStringLiteral("f"));
    QVERIFY(pressShortcut(page, Qt::Key_F5, QStringLiteral("btnRefresh")));
    QCOMPARE(t->rowCount(), 6);
    QCOMPARE(rowIds(page).mid(0, 4), IdList({ 4, 3, 2, 5 }));
    QCOMPARE(t->item(0, 2)->text(), QStringLiteral("26-04-02 07:05"));
    QVERIFY(rowIds(page).mid(4).contains(6));
    page.hide();
}

void tst_UserManWidget::userAddedElsewhereShowsAtTop()
{
    addSixUsers();
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    const IdList before = rowIds(page);

    int objectId = 0;
    QVERIFY(
        CUserDb::instance()->addUser(QStringLiteral("netuser"), QStringLiteral("pw"), &objectId));
    QCOMPARE(objectId, 7);
    QTableWidget *t = table(page);
    QCOMPARE(t->rowCount(), 7);
    QCOMPARE(rowIds(page), IdList({ 7 }) + before);
    QCOMPARE(t->item(0, 0)->text(), QStringLiteral("7"));
    QCOMPARE(t->item(0, 1)->text(), QStringLiteral("netuser"));
    QCOMPARE(t->item(0, 2)->text(), QString());
    for (int column = 0; column < 3; ++column)
        QCOMPARE(t->item(0, column)->textAlignment(), int(Qt::AlignCenter));

    // A client's name shows without control characters and cut at 200 characters.
    const QString longName = QStringLiteral("x\n") + QString(253, QLatin1Char('y'));
    QVERIFY(CUserDb::instance()->addUser(longName, QStringLiteral("pw"), &objectId));
    QCOMPARE(t->item(0, 1)->text(),
        QStringLiteral("x\\n") + QString(198, QLatin1Char('y')) + QChar(0x2026));
}

void tst_UserManWidget::loginElsewhereUpdatesThatRow()
{
    addSixUsers();
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QTableWidget *t = table(page);
    const IdList before = rowIds(page);
    const int row = rowOf(page, 2);
    const QString oldText = t->item(row, 2)->text();

    const QString earliest
        = QDateTime::currentDateTime().toString(QStringLiteral("yy-MM-dd hh:mm"));
    int objectId = 0;
    QVERIFY(CUserDb::instance()->login(QStringLiteral("user2"), QStringLiteral("pw2"), &objectId));
    const QString latest = QDateTime::currentDateTime().toString(QStringLiteral("yy-MM-dd hh:mm"));
    const QString shown = t->item(row, 2)->text();
    QVERIFY2(shown == earliest || shown == latest, qPrintable(shown));
    // The row stays where it was.
    QCOMPARE(rowIds(page), before);

    // Failed logins and unknown ids change nothing.
    const QString otherText = t->item(rowOf(page, 3), 2)->text();
    QVERIFY(
        !CUserDb::instance()->login(QStringLiteral("user3"), QStringLiteral("wrong"), &objectId));
    page.userLogin(99);
    QCOMPARE(t->item(rowOf(page, 3), 2)->text(), otherText);
    QCOMPARE(rowIds(page), before);
    QVERIFY(oldText != shown);
}

void tst_UserManWidget::deleteSelectedUsersInAnyOrder_data()
{
    QTest::addColumn<IdList>("clicks");
    QTest::addColumn<IdList>("deleted");
    QTest::addColumn<IdList>("blocked");

    // Rows show users 6, 5, 4, 3, 2, 1.
    QTest::newRow("one row") << IdList({ 5 }) << IdList({ 1 }) << IdList();
    QTest::newRow("top down") << IdList({ 0, 2, 4 }) << IdList({ 6, 4, 2 }) << IdList();
    QTest::newRow("bottom up") << IdList({ 4, 2, 0 }) << IdList({ 2, 4, 6 }) << IdList();
    QTest::newRow("mixed order") << IdList({ 3, 0, 5 }) << IdList({ 3, 6, 1 }) << IdList();
    QTest::newRow("neighbours") << IdList({ 2, 1 }) << IdList({ 4, 5 }) << IdList();
    QTest::newRow("everyone") << IdList({ 1, 5, 0, 3, 2, 4 }) << IdList({ 1, 2, 3, 4, 5, 6 })
                              << IdList();
    // Users whose saves cannot be removed stay, and the page says so.
    QTest::newRow("two kept") << IdList({ 0, 2, 4 }) << IdList({ 6 }) << IdList({ 4, 2 });
}

void tst_UserManWidget::deleteSelectedUsersInAnyOrder()
{
    QFETCH(IdList, clicks);
    QFETCH(IdList, deleted);
    QFETCH(IdList, blocked);

    addSixUsers();
    for (int id : std::as_const(blocked))
        QVERIFY(env->blockUserFolder(id));
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    QCOMPARE(rowIds(page), IdList({ 6, 5, 4, 3, 2, 1 }));
    for (int i = 0; i < clicks.size(); ++i)
        clickRow(page, clicks.at(i), i == 0 ? Qt::NoModifier : Qt::ControlModifier);

    ModalDriver driver;
    driver.answerBox(QMessageBox::Yes);
    if (!blocked.isEmpty())
        driver.answerBox(QMessageBox::Ok);
    QTest::mouseClick(button(page, QStringLiteral("btnDel")), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), blocked.isEmpty() ? 1 : 2);
    QCOMPARE(driver.boxes.at(0).summary(),
        QStringLiteral("Warning | Question! | Are you sure you want to delete these %1 "
                       "users? | Yes|No|Cancel")
            .arg(deleted.size() + blocked.size()));
    if (!blocked.isEmpty()) {
        QCOMPARE(driver.boxes.at(1).summary(),
            QStringLiteral("Critical | Error! | Cannot delete users 4, 2: their game data could "
                           "not be removed | Ok"));
    }

    IdList remaining;
    for (int id = 6; id >= 1; --id) {
        if (!deleted.contains(id))
            remaining.append(id);
    }
    QCOMPARE(rowIds(page), remaining);
    IdList stored = remaining;
    std::sort(stored.begin(), stored.end());
    QCOMPARE(env->userIds(), stored);
    for (int id = 1; id <= 6; ++id)
        QCOMPARE(env->userFolderExists(id), !deleted.contains(id));
    if (!blocked.isEmpty())
        return;
    // Nothing left selected, so the buttons are back to their idle states.
    QVERIFY(button(page, QStringLiteral("btnAdd"))->isEnabled());
    QVERIFY(!button(page, QStringLiteral("btnDel"))->isEnabled());
    page.hide();
}

void tst_UserManWidget::browseOpensUserFolder()
{
    addSixUsers();
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    clickRow(page, rowOf(page, 3));

    ModalDriver driver;
    QTest::mouseClick(button(page, QStringLiteral("btnBrow")), Qt::LeftButton);
    QVERIFY(!QTest::qWaitFor([&]() { return !driver.boxes.isEmpty(); }, 250));
    QCOMPARE(env->openedUrls,
        QList<QUrl>({ QUrl::fromLocalFile(env->storageDir() + QStringLiteral("/3")) }));
    page.hide();
}

void tst_UserManWidget::clearRemovesSelectedUsersData()
{
    addSixUsers();
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    clickRow(page, rowOf(page, 2));
    clickRow(page, rowOf(page, 5), Qt::ControlModifier);
    // A selected user without any data still counts as cleared.
    env->insertUser(7, QStringLiteral("nodata"), QStringLiteral("pw"));
    QVERIFY(pressShortcut(page, Qt::Key_F5, QStringLiteral("btnRefresh")));
    clickRow(page, rowOf(page, 2));
    clickRow(page, rowOf(page, 5), Qt::ControlModifier);
    clickRow(page, rowOf(page, 7), Qt::ControlModifier);

    ModalDriver driver;
    driver.answerBox(QMessageBox::Yes);
    driver.answerBox(QMessageBox::Ok);
    QTest::mouseClick(button(page, QStringLiteral("btnClear")), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 2);
    QCOMPARE(driver.boxes.at(0).summary(),
        QStringLiteral("Warning | Question! | Are you sure you want to clear these users' "
                       "game data? | Yes|No|Cancel"));
    QCOMPARE(driver.boxes.at(1).summary(),
        QStringLiteral("Information | Result | Game Data Cleared | Ok"));

    for (int id = 1; id <= 6; ++id)
        QCOMPARE(env->userFolderExists(id), id != 2 && id != 5);
    QCOMPARE(env->userIds(), IdList({ 1, 2, 3, 4, 5, 6, 7 }));
    QCOMPARE(table(page)->rowCount(), 7);
    page.hide();
}

void tst_UserManWidget::changePasswordStoresTextAsTyped()
{
    addSixUsers();
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    clickRow(page, rowOf(page, 4));

    ModalDriver driver;
    driver.answerInput(QStringLiteral("  new pass "), true);
    driver.answerBox(QMessageBox::Ok);
    QTest::mouseClick(button(page, QStringLiteral("btnChangePass")), Qt::LeftButton);
    QVERIFY(driver.allDone());

    QCOMPARE(driver.inputs.size(), 1);
    QCOMPARE(driver.inputs.at(0).title, QStringLiteral("Change Password"));
    QCOMPARE(driver.inputs.at(0).label, QStringLiteral("Please input new password"));
    QCOMPARE(driver.inputs.at(0).initialText, QStringLiteral("pw4"));
    QCOMPARE(driver.inputs.at(0).echoMode, int(QLineEdit::Normal));
    QCOMPARE(driver.boxes.size(), 1);
    QCOMPARE(driver.boxes.at(0).summary(),
        QStringLiteral("Information | Succeed! | Change password succeed | Ok"));

    QVERIFY(env->storesHashOf(4, QStringLiteral("  new pass ")));
    QCOMPARE(env->password(3), QStringLiteral("pw3"));

    // A hashed password tells the operator nothing: the dialog starts empty, and an empty
    // answer changes nothing.
    driver.answerInput(QString(), true);
    QTest::mouseClick(button(page, QStringLiteral("btnChangePass")), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QCOMPARE(driver.inputs.size(), 2);
    QCOMPARE(driver.inputs.at(1).initialText, QString());
    QCOMPARE(driver.boxes.size(), 1);
    QVERIFY(env->storesHashOf(4, QStringLiteral("  new pass ")));
    page.hide();
}

void tst_UserManWidget::changePasswordActsOnFirstSelectedUser()
{
    addSixUsers();
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    // The row picked first leads the table's list of selected items.
    clickRow(page, rowOf(page, 2));
    clickRow(page, rowOf(page, 5), Qt::ControlModifier);

    ModalDriver driver;
    driver.answerInput(QStringLiteral("changed"), true);
    driver.answerBox(QMessageBox::Ok);
    QTest::mouseClick(button(page, QStringLiteral("btnChangePass")), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QCOMPARE(driver.inputs.size(), 1);
    QCOMPARE(driver.inputs.at(0).initialText, QStringLiteral("pw2"));
    QVERIFY(env->storesHashOf(2, QStringLiteral("changed")));
    QCOMPARE(env->password(5), QStringLiteral("pw5"));
    page.hide();
}

void tst_UserManWidget::addButtonRunsAddUserDialog()
{
    addSixUsers();
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));

    auto isAddDialog = [](QWidget *w) { return qobject_cast<CAddUserDlg *>(w) != nullptr; };
    auto fillAndOk = [](QWidget *w) {
        QTest::keyClicks(
            w->findChild<QLineEdit *>(QStringLiteral("edName")), QStringLiteral("gina"));
        QTest::keyClicks(w->findChild<QLineEdit *>(QStringLiteral("edPass")), QStringLiteral("pw"));
        QTest::mouseClick(w->findChild<QPushButton *>(QStringLiteral("btnOk")), Qt::LeftButton);
    };
    ModalDriver driver;
    driver.actOn(isAddDialog, fillAndOk);
    QTest::mouseClick(button(page, QStringLiteral("btnAdd")), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 0);
    QCOMPARE(rowIds(page).first(), 7);
    QCOMPARE(table(page)->item(0, 1)->text(), QStringLiteral("gina"));

    // The same name again: refused inside the dialog, which the operator then cancels.
    driver.actOn(isAddDialog, fillAndOk);
    driver.answerBox(QMessageBox::Ok);
    driver.actOn(isAddDialog, [](QWidget *w) {
        QTest::mouseClick(w->findChild<QPushButton *>(QStringLiteral("btnCancel")), Qt::LeftButton);
    });
    // The offscreen platform does not hand activation back after a modal dialog.
    QVERIFY(showPage(page));
    QVERIFY(pressShortcut(page, Qt::Key_Insert, QStringLiteral("btnAdd")));
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 1);
    QCOMPARE(driver.boxes.at(0).text, QStringLiteral("User name [gina] already exists"));
    QCOMPARE(table(page)->rowCount(), 7);
    page.hide();
}

void tst_UserManWidget::mnemonicsAndShortcutsBothWork_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("name");

    QTest::newRow("F5") << int(Qt::Key_F5) << int(Qt::NoModifier) << "btnRefresh";
    QTest::newRow("Alt+R") << int(Qt::Key_R) << int(Qt::AltModifier) << "btnRefresh";
    QTest::newRow("Ins") << int(Qt::Key_Insert) << int(Qt::NoModifier) << "btnAdd";
    QTest::newRow("Alt+A") << int(Qt::Key_A) << int(Qt::AltModifier) << "btnAdd";
    QTest::newRow("Del") << int(Qt::Key_Delete) << int(Qt::NoModifier) << "btnDel";
    QTest::newRow("Alt+D") << int(Qt::Key_D) << int(Qt::AltModifier) << "btnDel";
}

void tst_UserManWidget::mnemonicsAndShortcutsBothWork()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, name);

    addSixUsers();
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    ModalDriver driver;
    if (name == QLatin1String("btnAdd")) {
        driver.actOn([](QWidget *w) { return qobject_cast<CAddUserDlg *>(w) != nullptr; },
            [](QWidget *w) { static_cast<CAddUserDlg *>(w)->reject(); });
    } else if (name == QLatin1String("btnDel")) {
        // Delete is enabled only with a selection; the question is answered No.
        clickRow(page, 0);
        driver.answerBox(QMessageBox::No);
    }
    QVERIFY(pressShortcut(page, Qt::Key(key), name, Qt::KeyboardModifiers(modifiers)));
    QVERIFY(driver.allDone());
    QCOMPARE(driver.unexpectedCount(), 0);
    QCOMPARE(env->userIds(), IdList({ 1, 2, 3, 4, 5, 6 }));
    page.hide();
}

void tst_UserManWidget::filterNarrowsByNameOrId_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<IdList>("shown");

    // Rows show users 12 (bob), 6, 5, 4, 3, 2, 1 (user1..user6).
    QTest::newRow("empty") << "" << IdList({ 12, 6, 5, 4, 3, 2, 1 });
    QTest::newRow("name part") << "user" << IdList({ 6, 5, 4, 3, 2, 1 });
    QTest::newRow("name, other case") << "BOB" << IdList({ 12 });
    QTest::newRow("id") << "12" << IdList({ 12 });
    QTest::newRow("id or name") << "2" << IdList({ 12, 2 });
    QTest::newRow("nobody") << "zed" << IdList();
}

void tst_UserManWidget::filterNarrowsByNameOrId()
{
    QFETCH(QString, filter);
    QFETCH(IdList, shown);

    addSixUsers();
    env->insertUser(12, QStringLiteral("bob"), QStringLiteral("pw"),
        QDateTime(QDate(2026, 2, 1), QTime(0, 0, 0)));
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    QTest::keyClick(table(page), Qt::Key_A, Qt::ControlModifier);
    auto *edit = page.findChild<QLineEdit *>(QStringLiteral("edFilter"));
    QVERIFY(edit);
    QTest::keyClicks(edit, filter);
    QCOMPARE(visibleIds(page), shown);
    // Rows the filter hides are not acted on, even when selected before.
    QCOMPARE(button(page, QStringLiteral("btnDel"))->isEnabled(), !shown.isEmpty());
    QCOMPARE(button(page, QStringLiteral("btnBrow"))->isEnabled(), shown.size() == 1);

    // A user added meanwhile is filtered like the others.
    int objectId = 0;
    QVERIFY(CUserDb::instance()->addUser(QStringLiteral("bob2"), QStringLiteral("pw"), &objectId));
    QCOMPARE(visibleIds(page).contains(objectId),
        QStringLiteral("bob2").contains(filter, Qt::CaseInsensitive)
            || QString::number(objectId).contains(filter));
    edit->clear();
    QCOMPARE(visibleIds(page).size(), 8);
    page.hide();
}

void tst_UserManWidget::headerClickSortsAndKeepsFilter()
{
    for (int id : { 2, 10, 9 })
        env->insertUser(id, QStringLiteral("n%1").arg(id), QStringLiteral("pw"));
    env->insertUser(30, QStringLiteral("other"), QStringLiteral("pw"));
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    QTest::keyClicks(page.findChild<QLineEdit *>(QStringLiteral("edFilter")), QStringLiteral("n"));
    QHeaderView *header = table(page)->horizontalHeader();
    const QPoint idSection(header->sectionViewportPosition(0) + 5, header->height() / 2);

    // Numeric, not by text: 9 comes before 10.
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, idSection);
    QCOMPARE(visibleIds(page), IdList({ 2, 9, 10 }));
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, idSection);
    QCOMPARE(visibleIds(page), IdList({ 10, 9, 2 }));
    // A reload keeps the order the operator chose.
    QVERIFY(pressShortcut(page, Qt::Key_F5, QStringLiteral("btnRefresh")));
    QCOMPARE(visibleIds(page), IdList({ 10, 9, 2 }));
    QCOMPARE(rowIds(page).size(), 4);
    page.hide();
}

void tst_UserManWidget::largeSelectionsAndDeletes_data()
{
    QTest::addColumn<int>("users");
    QTest::addColumn<int>("step");
    QTest::addColumn<QString>("filter");

    // step 0 selects with Ctrl+A, any other step every step-th row.
    QTest::newRow("Ctrl+A on 100000") << 100000 << 0 << "";
    QTest::newRow("every third of 3000") << 3000 << 3 << "";
    QTest::newRow("Ctrl+A, filtered") << 3000 << 0 << "user1";
    QTest::newRow("one row") << 3000 << 3000 << "";
}

void tst_UserManWidget::largeSelectionsAndDeletes()
{
    QFETCH(int, users);
    QFETCH(int, step);
    QFETCH(QString, filter);

    QVERIFY(insertManyUsers(users));
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    QTableWidget *t = table(page);
    QCOMPARE(t->rowCount(), users);
    if (!filter.isEmpty())
        QTest::keyClicks(page.findChild<QLineEdit *>(QStringLiteral("edFilter")), filter);

    if (step == 0) {
        QTest::keyClick(t, Qt::Key_A, Qt::ControlModifier);
    } else {
        QItemSelection selection;
        for (int row = 0; row < users; row += step)
            selection.select(t->model()->index(row, 0), t->model()->index(row, 2));
        t->selectionModel()->select(selection, QItemSelectionModel::Select);
    }
    IdList deleted, kept;
    for (int row = 0; row < users; ++row) {
        const int id = users - row;
        const bool selected = !t->isRowHidden(row) && t->item(row, 0)->isSelected();
        (selected ? deleted : kept).append(id);
    }
    QVERIFY(!deleted.isEmpty());
    QCOMPARE(button(page, QStringLiteral("btnBrow"))->isEnabled(), deleted.size() == 1);
    QCOMPARE(button(page, QStringLiteral("btnAdd"))->isEnabled(), false);

    ModalDriver driver;
    driver.answerBox(QMessageBox::Yes);
    QTest::mouseClick(button(page, QStringLiteral("btnDel")), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 1);
    QVERIFY(driver.boxes.at(0).text.contains(QString::number(deleted.size())));

    QCOMPARE(rowIds(page), kept);
    IdList stored = kept;
    std::sort(stored.begin(), stored.end());
    QCOMPARE(env->userIds(), stored);
    QVERIFY(button(page, QStringLiteral("btnAdd"))->isEnabled());
    // Rows the filter hid stay hidden; the rest show.
    for (int row = 0; row < t->rowCount(); ++row)
        QCOMPARE(t->isRowHidden(row), !t->item(row, 1)->text().contains(filter));
    page.hide();
}

void tst_UserManWidget::saveHistoryRestoresVersion()
{
    addSixUsers();
    CSaveStore store(env->storageDir());
    const QString archive = env->storageDir() + QStringLiteral("/3/slot1.z");
    for (const char *content : { "first", "second", "third" }) {
        QSaveFile file(archive);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) > 0);
        QVERIFY(store
                    .commitUpload(
                        QStringLiteral("3/slot1.z"), file.size(), [&] { return file.commit(); })
                    .ok());
    }
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QSignalSpy logged(&page, &CUserManWidget::log);
    QVERIFY(showPage(page));
    clickRow(page, rowOf(page, 3));

    auto isHistory = [](QWidget *w) { return qobject_cast<CSaveHistoryDlg *>(w) != nullptr; };
    QStringList shown;
    ModalDriver driver;
    driver.actOn(isHistory, [&](QWidget *w) {
        auto *tree = w->findChild<QTreeWidget *>(QStringLiteral("treeSaves"));
        // Beside slot/game, which has no versions.
        QTreeWidgetItem *save = tree->topLevelItem(1);
        shown << save->text(0) << save->child(0)->text(1) << save->child(1)->text(1);
        tree->setCurrentItem(save->child(1)); // the oldest version
        w->findChild<QPushButton *>(QStringLiteral("btnRestore"))->click();
    });
    driver.answerBox(QMessageBox::Yes);
    driver.answerBox(QMessageBox::Ok);
    driver.actOn(isHistory, [&](QWidget *w) {
        auto *tree = w->findChild<QTreeWidget *>(QStringLiteral("treeSaves"));
        shown << QString::number(tree->topLevelItem(1)->childCount());
        w->findChild<QPushButton *>(QStringLiteral("btnClose"))->click();
    });
    QTest::mouseClick(button(page, QStringLiteral("btnHistory")), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QCOMPARE(shown, QStringLiteral("slot1 6 5 2").split(QLatin1Char(' ')));
    QCOMPARE(driver.boxes.at(1).summary(),
        QStringLiteral("Information | Succeed! | Save restored | Ok"));
    QFile current(archive);
    QVERIFY(current.open(QIODevice::ReadOnly));
    QCOMPARE(current.readAll(), QByteArray("first"));
    QCOMPARE(logged.count(), 1);
    QVERIFY2(logged.at(0).at(0).toString().startsWith(
                 QStringLiteral("Restored save 3/slot1 to version ")),
        qPrintable(logged.at(0).at(0).toString()));
    page.hide();
}

void tst_UserManWidget::deleteWithNothingSelectedAfterReload()
{
    addSixUsers();
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    clickRow(page, 1);
    QVERIFY(pressShortcut(page, Qt::Key_F5, QStringLiteral("btnRefresh")));
    QVERIFY(table(page)->selectedItems().isEmpty());
    // The reload drops the selection and the table reports that, so the buttons follow;
    // the slot keeps its own guard for any other way of reaching it.
    QVERIFY(!button(page, QStringLiteral("btnDel"))->isEnabled());
    QVERIFY(button(page, QStringLiteral("btnAdd"))->isEnabled());

    ModalDriver driver;
    driver.answerBox(QMessageBox::Ok);
    QVERIFY(QMetaObject::invokeMethod(&page, "on_btnDel_clicked"));
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 1);
    QCOMPARE(driver.boxes.at(0).summary(),
        QStringLiteral("Warning | Warn! | Please select user first | Ok"));
    QCOMPARE(env->userIds(), IdList({ 1, 2, 3, 4, 5, 6 }));
    QCOMPARE(table(page)->rowCount(), 6);
    page.hide();
}

void tst_UserManWidget::deleteAnsweredNoOrCancel_data()
{
    QTest::addColumn<int>("answer");
    QTest::newRow("No") << int(QMessageBox::No);
    QTest::newRow("Cancel") << int(QMessageBox::Cancel);
}

void tst_UserManWidget::deleteAnsweredNoOrCancel()
{
    QFETCH(int, answer);

    addSixUsers();
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    clickRow(page, 0);
    clickRow(page, 3, Qt::ControlModifier);

    ModalDriver driver;
    driver.answerBox(QMessageBox::StandardButton(answer));
    QVERIFY(pressShortcut(page, Qt::Key_Delete, QStringLiteral("btnDel")));
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 1);
    QCOMPARE(
        driver.boxes.at(0).text, QStringLiteral("Are you sure you want to delete these 2 users?"));
    QCOMPARE(env->userIds(), IdList({ 1, 2, 3, 4, 5, 6 }));
    QCOMPARE(rowIds(page), IdList({ 6, 5, 4, 3, 2, 1 }));
    for (int id = 1; id <= 6; ++id)
        QVERIFY(env->userFolderExists(id));
    page.hide();
}

void tst_UserManWidget::browseMissingFolderIsReported()
{
    env->insertUser(3, QStringLiteral("nofolder"), QStringLiteral("pw"));
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    clickRow(page, 0);

    ModalDriver driver;
    driver.answerBox(QMessageBox::Ok);
    QTest::mouseClick(button(page, QStringLiteral("btnBrow")), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 1);
    QCOMPARE(driver.boxes.at(0).summary(),
        QStringLiteral("Critical | Path not exists | Cannot find Game Data for 3 | Ok"));
    QVERIFY(env->openedUrls.isEmpty());
    page.hide();
}

void tst_UserManWidget::clearAnsweredNoChangesNothing()
{
    addSixUsers();
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    clickRow(page, 0);

    ModalDriver driver;
    driver.answerBox(QMessageBox::No);
    QTest::mouseClick(button(page, QStringLiteral("btnClear")), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 1);
    for (int id = 1; id <= 6; ++id)
        QVERIFY(env->userFolderExists(id));
    page.hide();
}

void tst_UserManWidget::clearReportsDataThatStays()
{
    addSixUsers();
    QVERIFY(env->blockUserFolder(3));
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    clickRow(page, rowOf(page, 3));
    clickRow(page, rowOf(page, 4), Qt::ControlModifier);

    ModalDriver driver;
    driver.answerBox(QMessageBox::Yes);
    driver.answerBox(QMessageBox::Ok);
    QTest::mouseClick(button(page, QStringLiteral("btnClear")), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QCOMPARE(driver.boxes.size(), 2);
    QCOMPARE(driver.boxes.at(1).summary(),
        QStringLiteral("Critical | Error! | Cannot clear the game data of users 3 | Ok"));
    QVERIFY(env->userFolderExists(3));
    QVERIFY(!env->userFolderExists(4));
    page.hide();
}

void tst_UserManWidget::changePasswordCancelledOrEmptied_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("accept");
    QTest::newRow("cancelled") << QStringLiteral("ignored") << false;
    QTest::newRow("field cleared") << QString() << true;
}

void tst_UserManWidget::changePasswordCancelledOrEmptied()
{
    QFETCH(QString, typed);
    QFETCH(bool, accept);

    addSixUsers();
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    clickRow(page, rowOf(page, 1));

    ModalDriver driver;
    driver.answerInput(typed, accept);
    QTest::mouseClick(button(page, QStringLiteral("btnChangePass")), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QCOMPARE(driver.inputs.size(), 1);
    QVERIFY(!QTest::qWaitFor([&]() { return !driver.boxes.isEmpty(); }, 250));
    QCOMPARE(env->password(1), QStringLiteral("pw1"));
    page.hide();
}

void tst_UserManWidget::changePasswordForUserNoLongerStored()
{
    addSixUsers();
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    // Gone from the table file, still on the page until the next reload.
    QSqlQuery query;
    QVERIFY(query.exec(QStringLiteral("delete from t_user where object_id = 6")));
    clickRow(page, rowOf(page, 6));

    ModalDriver driver;
    driver.answerBox(QMessageBox::Ok);
    QTest::mouseClick(button(page, QStringLiteral("btnChangePass")), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QCOMPARE(driver.inputs.size(), 0);
    QCOMPARE(driver.boxes.size(), 1);
    QCOMPARE(driver.boxes.at(0).summary(),
        QStringLiteral("Critical | Error! | Change password failed | Ok"));
    page.hide();
}

void tst_UserManWidget::changePasswordForUserDeletedWhileAsking()
{
    addSixUsers();
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    clickRow(page, rowOf(page, 3));

    ModalDriver driver;
    driver.actOn([](QWidget *w) { return qobject_cast<QInputDialog *>(w) != nullptr; },
        [](QWidget *w) {
            QSqlQuery query;
            query.exec(QStringLiteral("delete from t_user where object_id = 3"));
            auto *dialog = static_cast<QInputDialog *>(w);
            dialog->setTextValue(QStringLiteral("late"));
            dialog->accept();
        });
    driver.answerBox(QMessageBox::Ok);
    QTest::mouseClick(button(page, QStringLiteral("btnChangePass")), Qt::LeftButton);
    QVERIFY(driver.allDone());
    // Updating no row is not a success.
    QCOMPARE(driver.boxes.size(), 1);
    QCOMPARE(driver.boxes.at(0).summary(),
        QStringLiteral("Critical | Error! | Change password failed | Ok"));
    QVERIFY(!env->userIds().contains(3));
    page.hide();
}

// Logins find their row without walking the table; rows deleted or reloaded must never be
// reached through a stale cell.
void tst_UserManWidget::loginAfterRowsWentAway()
{
    addSixUsers();
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    QVERIFY(showPage(page));
    QTableWidget *t = table(page);
    clickRow(page, rowOf(page, 5));
    ModalDriver driver;
    driver.answerBox(QMessageBox::Yes);
    QTest::mouseClick(button(page, QStringLiteral("btnDel")), Qt::LeftButton);
    QVERIFY(driver.allDone());
    QCOMPARE(rowIds(page), IdList({ 6, 4, 3, 2, 1 }));
    const QStringList before = { t->item(0, 2)->text(), t->item(1, 2)->text() };
    page.userLogin(5);
    QCOMPARE(QStringList({ t->item(0, 2)->text(), t->item(1, 2)->text() }), before);

    page.refresh();
    const auto stamp
        = [] { return QDateTime::currentDateTime().toString(QStringLiteral("yy-MM-dd hh:mm")); };
    const QString earliest = stamp();
    page.userLogin(3);
    int added = 0;
    QVERIFY(CUserDb::instance()->addUser(QStringLiteral("late"), QStringLiteral("pw"), &added));
    QCOMPARE(rowOf(page, added), 0);
    QCOMPARE(t->item(0, 2)->text(), QString());
    page.userLogin(added);
    const QString latest = stamp();
    for (const QString &shown : { t->item(rowOf(page, 3), 2)->text(), t->item(0, 2)->text() })
        QVERIFY2(shown == earliest || shown == latest, qPrintable(shown));
    page.hide();
}

QTEST_MAIN(tst_UserManWidget)
#include "tst_usermanwidget.moc"
