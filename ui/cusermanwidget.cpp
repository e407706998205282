#include "cusermanwidget.h"
#include "ui_cusermanwidget.h"

#include <algorithm>
#include <functional>

#include <QDateTime>
#include <QInputDialog>
#include <QMessageBox>
#include <QStringList>
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

    QVector<CUserDb::UserRow> users;
    CUserDb::instance()->users(users);
    table->setRowCount(users.size());
    // Never-logged-in users come last.
    for (int row = 0; row < users.size(); ++row) {
        const CUserDb::UserRow &user = users.at(row);
        QString loginText;
        if (!user.lastLogin.isEmpty())
            loginText = QDateTime::fromString(user.lastLogin, Qt::ISODate).toString(loginFormat);
        setUserRow(row, user.objectId, user.name, loginText);
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
    QStringList kept;
    for (const QTableWidgetItem *item : items) {
        const int objectId = item->data(Qt::UserRole).toInt();
        // A user whose saves cannot be removed stays, row and all.
        if (!db->deleteUser(objectId)) {
            kept.append(item->text());
            continue;
        }
        loginItems.remove(objectId);
        rows.append(item->row());
    }
    // Bottom-up, so removing one row never shifts a row still to be removed.
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    for (int row : rows)
        ui->tableWidget->removeRow(row);
    if (!kept.isEmpty()) {
        QMessageBox::critical(this, tr("Error!"),
            tr("Cannot delete users %1: their game data could not be removed")
                .arg(kept.join(QStringLiteral(", "))),
            QMessageBox::Ok);
    }
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
    QStringList failed;
    for (const QTableWidgetItem *item : items) {
        if (!CUserDb::instance()->clearUserData(item->data(Qt::UserRole).toInt()))
            failed.append(item->text());
    }
    if (!failed.isEmpty()) {
        QMessageBox::critical(this, tr("Error!"),
            tr("Cannot clear the game data of users %1").arg(failed.join(QStringLiteral(", "))),
            QMessageBox::Ok);
        return;
    }
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

    CUserDb *db = CUserDb::instance();
    QString current;
    if (db->password(objectId, &current)) {
        const QString password = QInputDialog::getText(this, tr("Change Password"),
            tr("Please input new password"), QLineEdit::Normal, current);
        if (password.isEmpty())
            return;
        // False also when the user went away while the dialog was open.
        if (db->setPassword(objectId, password)) {
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
