#include "cusermanwidget.h"
#include "ui_cusermanwidget.h"

#include <algorithm>
#include <functional>

#include <QDateTime>
#include <QInputDialog>
#include <QMessageBox>
#include <QSqlQuery>
#include <QTableWidgetItem>
#include <QVariant>

#include "cuserdb.h"
#include "cadduserdlg.h"
#include "csavehistorydlg.h"

namespace {

const QString loginFormat = QStringLiteral("yy-MM-dd hh:mm");

QTableWidgetItem *centredItem(const QString &text)
{
    auto *item = new QTableWidgetItem(text);
    item->setTextAlignment(Qt::AlignCenter);
    return item;
}

} // namespace

CUserManWidget::CUserManWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::CUserManWidget)
{
    ui->setupUi(this);

    CUserDb *db = CUserDb::instance();
    connect(db, &CUserDb::userAdd, this, &CUserManWidget::userAdd);
    connect(db, &CUserDb::userLogin, this, &CUserManWidget::userLogin);
    connect(ui->tableWidget, &QTableWidget::itemSelectionChanged, this,
        &CUserManWidget::itemSelectionChanged);

    refresh();
    itemSelectionChanged();
}

CUserManWidget::~CUserManWidget()
{
    delete ui;
}

void CUserManWidget::userAdd(int objectId, const QString &name)
{
    ui->tableWidget->insertRow(0);
    setUserRow(0, objectId, name, QString());
}

void CUserManWidget::userLogin(int objectId)
{
    QTableWidgetItem *loginItem = loginItems.value(objectId);
    if (loginItem)
        loginItem->setText(QDateTime::currentDateTime().toString(loginFormat));
}

void CUserManWidget::refresh()
{
    QTableWidget *table = ui->tableWidget;
    loginItems.clear();
    table->clear();
    table->setColumnCount(3);
    table->setHorizontalHeaderLabels({ tr("ID"), tr("User Name"), tr("Lastest Login") });
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setDropIndicatorShown(false);

    QSqlQuery query;
    int count = 0;
    if (query.exec(QStringLiteral("select count(*) from t_user")) && query.next())
        count = query.value(0).toInt();
    table->setRowCount(count);

    if (!query.exec(QStringLiteral(
            "select object_id, name, last_login from t_user order by last_login desc")))
        return;
    // Never-logged-in users have a NULL last_login, which sorts last in descending order.
    int row = 0;
    while (row < count && query.next()) {
        const QVariant lastLogin = query.value(2);
        QString loginText;
        if (!lastLogin.isNull())
            loginText
                = QDateTime::fromString(lastLogin.toString(), Qt::ISODate).toString(loginFormat);
        setUserRow(row, query.value(0).toInt(), query.value(1).toString(), loginText);
        ++row;
    }
}

void CUserManWidget::on_btnAdd_clicked()
{
    CAddUserDlg dlg(this);
    dlg.exec();
}

void CUserManWidget::on_btnDel_clicked()
{
    const QList<QTableWidgetItem *> items = selectedUserItems();
    if (items.isEmpty()) {
        QMessageBox::warning(this, tr("Warn!"), tr("Please select user first"), QMessageBox::Ok);
        return;
    }
    const auto answer = QMessageBox::warning(this, tr("Question!"),
        tr("Are you sure you want to delete these %1 users?").arg(items.size()),
        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::NoButton);
    if (answer != QMessageBox::Yes)
        return;

    CUserDb *db = CUserDb::instance();
    QList<int> rows;
    for (const QTableWidgetItem *item : items) {
        const int objectId = item->data(Qt::UserRole).toInt();
        db->deleteUser(objectId);
        loginItems.remove(objectId);
        rows.append(item->row());
    }
    // Bottom-up, so removing one row never shifts a row still to be removed.
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    for (int row : rows)
        ui->tableWidget->removeRow(row);
}

void CUserManWidget::on_btnBrow_clicked()
{
    const QList<QTableWidgetItem *> items = selectedUserItems();
    for (const QTableWidgetItem *item : items) {
        if (!CUserDb::instance()->openUserData(item->data(Qt::UserRole).toInt())) {
            QMessageBox::critical(this, tr("Path not exists"),
                tr("Cannot find Game Data for %1").arg(item->text()), QMessageBox::Ok);
        }
    }
}

void CUserManWidget::on_btnClear_clicked()
{
    if (ui->tableWidget->selectedItems().isEmpty())
        return;
    const auto answer = QMessageBox::warning(this, tr("Question!"),
        tr("Are you sure you want to clear these users' game data?"),
        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::NoButton);
    if (answer != QMessageBox::Yes)
        return;

    const QList<QTableWidgetItem *> items = selectedUserItems();
    for (const QTableWidgetItem *item : items)
        CUserDb::instance()->clearUserData(item->data(Qt::UserRole).toInt());
    QMessageBox::information(this, tr("Result"), tr("Game Data Cleared"), QMessageBox::Ok);
}

void CUserManWidget::on_btnRefresh_clicked()
{
    refresh();
}

void CUserManWidget::itemSelectionChanged()
{
    const int selected = selectedUserItems().size();
    ui->btnDel->setEnabled(selected > 0);
    ui->btnAdd->setEnabled(selected == 0);
    ui->btnBrow->setEnabled(selected == 1);
    ui->btnClear->setEnabled(selected > 0);
    ui->btnHistory->setEnabled(selected == 1);
}

void CUserManWidget::on_btnChangePass_clicked()
{
    const QList<QTableWidgetItem *> items = selectedUserItems();
    if (items.isEmpty())
        return;
    const int objectId = items.first()->data(Qt::UserRole).toInt();

    QSqlQuery query;
    query.prepare(QStringLiteral("select password from t_user where object_id = ?"));
    query.addBindValue(objectId);
    if (query.exec() && query.next()) {
        const QString current = query.value(0).toString();
        // Release the statement before the dialog's event loop lets network commands in.
        query.finish();

        const QString password = QInputDialog::getText(this, tr("Change Password"),
            tr("Please input new password"), QLineEdit::Normal, current);
        if (password.isEmpty())
            return;

        query.prepare(QStringLiteral("update t_user set password = ? where object_id = ?"));
        query.addBindValue(password);
        query.addBindValue(objectId);
        // No row changed means the user went away while the dialog was open.
        if (query.exec() && query.numRowsAffected() > 0) {
            QMessageBox::information(
                this, tr("Succeed!"), tr("Change password succeed"), QMessageBox::Ok);
            return;
        }
    }
    QMessageBox::critical(this, tr("Error!"), tr("Change password failed"), QMessageBox::Ok);
}

QList<QTableWidgetItem *> CUserManWidget::selectedUserItems() const
{
    QList<QTableWidgetItem *> items;
    const QList<QTableWidgetItem *> selected = ui->tableWidget->selectedItems();
    for (QTableWidgetItem *item : selected) {
        if (item->column() == 0)
            items.append(item);
    }
    return items;
}

void CUserManWidget::setUserRow(
    int row, int objectId, const QString &name, const QString &lastLogin)
{
    QTableWidget *table = ui->tableWidget;
    QTableWidgetItem *idItem = centredItem(QString::number(objectId));
    idItem->setData(Qt::UserRole, objectId);
    table->setItem(row, 0, idItem);
    table->setItem(row, 1, centredItem(name));
    QTableWidgetItem *loginItem = centredItem(lastLogin);
    table->setItem(row, 2, loginItem);
    // A login updates the topmost row of its user.
    if (row == 0 || !loginItems.contains(objectId))
        loginItems.insert(objectId, loginItem);
}

void CUserManWidget::on_btnHistory_clicked()
{
    const QList<QTableWidgetItem *> items = selectedUserItems();
    if (items.size() != 1)
        return;
    CSaveHistoryDlg dlg(items.first()->data(Qt::UserRole).toInt(), this);
    connect(&dlg, &CSaveHistoryDlg::log, this, &CUserManWidget::log);
    dlg.exec();
}
