#include "cusermanwidget.h"
#include "ui_cusermanwidget.h"

#include <algorithm>
#include <utility>

#include <QDateTime>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHeaderView>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMessageBox>
#include <QScopeGuard>
#include <QSet>
#include <QShortcut>
#include <QStringList>
#include <QTableWidgetItem>
#include <QUrl>
#include <QVariant>

#include "cpasswordhasher.h"
#include "cuserdb.h"
#include "cadduserdlg.h"
#include "csavehistorydlg.h"
#include "cserversettings.h"
#include "cuserfolder.h"
#include "printabletext.h"

namespace {

const QString loginFormat = QStringLiteral("yy-MM-dd hh:mm");

// Beyond this many separate runs of rows, moving the kept rows up once is cheaper than
// removing each run, which shifts everything below it.
constexpr int MAX_REMOVED_RUNS = 32;

// "yy-MM-dd hh:mm" of a stored last_login. The stored "yyyy-MM-ddTHH:mm:ss..." text already
// holds the digits, so they are cut out, not parsed; other shapes take the long way.
QString loginText(const QString &stored)
{
    if (stored.size() >= 16 && stored.at(4) == QLatin1Char('-') && stored.at(7) == QLatin1Char('-')
        && stored.at(10) == QLatin1Char('T') && stored.at(13) == QLatin1Char(':')) {
        return stored.mid(2, 8) + QLatin1Char(' ') + stored.mid(11, 5);
    }
    return QDateTime::fromString(stored, Qt::ISODate).toString(loginFormat);
}

// Row-by-row changes to a visible table cost a pass over the rows each (the header works
// out every row's position for its repaint); without updates they add up to one pass.
auto pausedUpdates(QTableWidget *table)
{
    table->setUpdatesEnabled(false);
    return qScopeGuard([table] { table->setUpdatesEnabled(true); });
}

// Object ids for a message; a long list is cut short.
QString idList(const QVector<int> &ids)
{
    constexpr int MAX_SHOWN = 20;
    QStringList texts;
    for (int i = 0; i < ids.size() && i < MAX_SHOWN; ++i)
        texts.append(QString::number(ids.at(i)));
    if (ids.size() > MAX_SHOWN)
        texts.append(QStringLiteral("\u2026"));
    return texts.join(QStringLiteral(", "));
}

QTableWidgetItem *centredItem(const QString &text)
{
    auto *item = new QTableWidgetItem(text);
    item->setTextAlignment(Qt::AlignCenter);
    return item;
}

} // namespace

CUserManWidget::CUserManWidget(CServerSettings *settings, CUserDb *users, QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::CUserManWidget)
    , settingsRecord(settings)
    , userDb(users)
{
    ui->setupUi(this);

    filterEdit = new QLineEdit(this);
    filterEdit->setObjectName(QStringLiteral("edFilter"));
    filterEdit->setPlaceholderText(tr("Filter by name or id"));
    filterEdit->setClearButtonEnabled(true);
    ui->horizontalLayout->insertWidget(0, filterEdit);
    connect(filterEdit, &QLineEdit::textChanged, this, &CUserManWidget::applyFilter);

    // Sorting on request only: the view's own sorting would move a row while it is filled.
    QHeaderView *header = ui->tableWidget->horizontalHeader();
    header->setSortIndicator(-1, Qt::AscendingOrder);
    header->setSortIndicatorShown(true);
    header->setSectionsClickable(true);
    connect(header, &QHeaderView::sortIndicatorChanged, this, &CUserManWidget::sortByIndicator);

    // A button's shortcut replaces the mnemonic of its text; both should work.
    addMnemonic(ui->btnRefresh);
    addMnemonic(ui->btnAdd);
    addMnemonic(ui->btnDel);

    CUserDb *db = userDb;
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

void CUserManWidget::addMnemonic(QPushButton *button)
{
    const QKeySequence mnemonic = QKeySequence::mnemonic(button->text());
    if (mnemonic.isEmpty() || mnemonic == button->shortcut())
        return;
    auto *shortcut = new QShortcut(mnemonic, button);
    connect(shortcut, &QShortcut::activated, button, [button] {
        if (button->isEnabled())
            button->animateClick();
    });
}

void CUserManWidget::userAdd(int objectId, const QString &name)
{
    ui->tableWidget->insertRow(0);
    setUserRow(0, objectId, name, QString());
    const QString text = filterEdit->text().trimmed();
    if (!text.isEmpty())
        ui->tableWidget->setRowHidden(0, !rowMatchesFilter(0, text));
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
    const auto paused = pausedUpdates(table);
    loginItems.clear();
    table->clear();
    table->setColumnCount(3);
    table->setHorizontalHeaderLabels({ tr("ID"), tr("User Name"), tr("Lastest Login") });
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setDropIndicatorShown(false);

    QVector<CUserDb::UserRow> users;
    userDb->users(users);
    table->setRowCount(users.size());
    loginItems.reserve(users.size());
    // Never-logged-in users come last.
    for (int row = 0; row < users.size(); ++row) {
        const CUserDb::UserRow &user = users.at(row);
        setUserRow(row, user.objectId, user.name,
            user.lastLogin.isEmpty() ? QString() : loginText(user.lastLogin));
    }
    // An order the operator picked stays picked; sorting re-applies the filter.
    if (table->horizontalHeader()->sortIndicatorSection() >= 0)
        sortByIndicator();
    else
        applyFilter();
}

void CUserManWidget::on_btnAdd_clicked()
{
    CAddUserDlg dlg(userDb, this);
    dlg.exec();
}

void CUserManWidget::on_btnDel_clicked()
{
    const int selected = selectedUserRows().size();
    if (selected == 0) {
        QMessageBox::warning(this, tr("Warn!"), tr("Please select user first"), QMessageBox::Ok);
        return;
    }
    const auto answer = QMessageBox::warning(this, tr("Question!"),
        tr("Are you sure you want to delete these %1 users?").arg(selected),
        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::NoButton);
    if (answer != QMessageBox::Yes)
        return;

    // Again: the question's event loop may have let rows in above the selection.
    const QList<int> rows = selectedUserRows();
    CUserDb *db = userDb;
    QVector<int> ids;
    ids.reserve(rows.size());
    for (int row : rows)
        ids.append(objectIdAt(row));
    QVector<int> kept;
    if (!db->deleteUsers(ids, &kept)) {
        // Folders may be gone, rows not: show what the database holds.
        refresh();
        QMessageBox::critical(this, tr("Error!"),
            tr("Cannot delete the selected users: the user database refused"), QMessageBox::Ok);
        return;
    }
    // A user whose saves cannot be removed stays, row and all.
    const QSet<int> keptIds(kept.cbegin(), kept.cend());
    QList<int> removed;
    removed.reserve(rows.size() - kept.size());
    for (int row : rows) {
        const int objectId = objectIdAt(row);
        if (keptIds.contains(objectId))
            continue;
        loginItems.remove(objectId);
        removed.append(row);
    }
    removeUserRows(removed);
    if (!kept.isEmpty()) {
        QMessageBox::critical(this, tr("Error!"),
            tr("Cannot delete users %1: their game data could not be removed").arg(idList(kept)),
            QMessageBox::Ok);
    }
}

void CUserManWidget::on_btnBrow_clicked()
{
    const QList<int> rows = selectedUserRows();
    for (int row : rows) {
        const QString path
            = CUserFolder::path(settingsRecord->snapshot().saveDataDir, objectIdAt(row));
        // The desktop's file browser shows it; what it makes of the request is its own affair.
        if (!path.isEmpty() && QFileInfo::exists(path)) {
            QDesktopServices::openUrl(QUrl::fromLocalFile(path));
        } else {
            QMessageBox::critical(this, tr("Path not exists"),
                tr("Cannot find Game Data for %1").arg(ui->tableWidget->item(row, 0)->text()),
                QMessageBox::Ok);
        }
    }
}

void CUserManWidget::on_btnClear_clicked()
{
    if (selectedUserRows().isEmpty())
        return;
    const auto answer = QMessageBox::warning(this, tr("Question!"),
        tr("Are you sure you want to clear these users' game data?"),
        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::NoButton);
    if (answer != QMessageBox::Yes)
        return;

    // Read after the question, whose event loop may have let rows in above the selection.
    const QList<int> rows = selectedUserRows();
    QVector<int> failed;
    for (int row : rows) {
        const int objectId = objectIdAt(row);
        if (!userDb->clearUserData(objectId))
            failed.append(objectId);
    }
    if (!failed.isEmpty()) {
        QMessageBox::critical(this, tr("Error!"),
            tr("Cannot clear the game data of users %1").arg(idList(failed)), QMessageBox::Ok);
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
    const int selected = selectedUserRows().size();
    ui->btnDel->setEnabled(selected > 0);
    ui->btnAdd->setEnabled(selected == 0);
    ui->btnBrow->setEnabled(selected == 1);
    ui->btnClear->setEnabled(selected > 0);
    ui->btnHistory->setEnabled(selected == 1);
}

void CUserManWidget::on_btnChangePass_clicked()
{
    const int row = firstSelectedUserRow();
    if (row < 0)
        return;
    const int objectId = objectIdAt(row);

    CUserDb *db = userDb;
    QString current;
    if (db->password(objectId, &current)) {
        // A hash tells the operator nothing, and typed back it would be hashed again.
        if (CPasswordHasher::isHash(current))
            current.clear();
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

void CUserManWidget::applyFilter()
{
    QTableWidget *table = ui->tableWidget;
    const auto paused = pausedUpdates(table);
    const int count = table->rowCount();
    const QString text = filterEdit->text().trimmed();
    for (int row = 0; row < count; ++row) {
        const bool hide = !text.isEmpty() && !rowMatchesFilter(row, text);
        if (table->isRowHidden(row) != hide)
            table->setRowHidden(row, hide);
    }
    // Hidden rows no longer count as selected.
    itemSelectionChanged();
}

void CUserManWidget::sortByIndicator()
{
    const QHeaderView *header = ui->tableWidget->horizontalHeader();
    if (header->sortIndicatorSection() < 0)
        return;
    ui->tableWidget->sortItems(header->sortIndicatorSection(), header->sortIndicatorOrder());
    // Hidden rows are kept by position, not by user.
    applyFilter();
}

bool CUserManWidget::rowMatchesFilter(int row, const QString &text) const
{
    const QTableWidgetItem *id = ui->tableWidget->item(row, 0);
    const QTableWidgetItem *name = ui->tableWidget->item(row, 1);
    return (id && id->text().contains(text))
        || (name && name->text().contains(text, Qt::CaseInsensitive));
}

QList<int> CUserManWidget::selectedUserRows() const
{
    const QTableWidget *table = ui->tableWidget;
    const QItemSelection selection = table->selectionModel()->selection();
    // Column-0 runs of rows, sorted and merged, so that overlapping ranges count once.
    QList<std::pair<int, int>> runs;
    runs.reserve(selection.size());
    for (const QItemSelectionRange &range : selection) {
        if (range.isValid() && range.left() == 0)
            runs.append({ range.top(), range.bottom() });
    }
    std::sort(runs.begin(), runs.end());

    QList<int> rows;
    int next = 0;
    for (const auto &run : std::as_const(runs)) {
        for (int row = std::max(run.first, next); row <= run.second; ++row) {
            if (!table->isRowHidden(row))
                rows.append(row);
        }
        next = std::max(next, run.second + 1);
    }
    return rows;
}

int CUserManWidget::firstSelectedUserRow() const
{
    const QTableWidget *table = ui->tableWidget;
    const QItemSelection selection = table->selectionModel()->selection();
    for (const QItemSelectionRange &range : selection) {
        if (!range.isValid() || range.left() != 0)
            continue;
        for (int row = range.top(); row <= range.bottom(); ++row) {
            if (!table->isRowHidden(row))
                return row;
        }
    }
    return -1;
}

int CUserManWidget::objectIdAt(int row) const
{
    const QTableWidgetItem *item = ui->tableWidget->item(row, 0);
    return item ? item->data(Qt::UserRole).toInt() : 0;
}

void CUserManWidget::removeUserRows(const QList<int> &rows)
{
    QTableWidget *table = ui->tableWidget;
    // One selection signal now instead of one per removed row.
    table->clearSelection();

    QList<std::pair<int, int>> runs;
    for (int row : rows) {
        if (!runs.isEmpty() && runs.last().second == row - 1)
            runs.last().second = row;
        else
            runs.append({ row, row });
    }

    if (runs.size() <= MAX_REMOVED_RUNS) {
        // Bottom-up, so removing one run never shifts a run still to be removed.
        for (auto run = runs.crbegin(); run != runs.crend(); ++run)
            table->model()->removeRows(run->first, run->second - run->first + 1);
        return;
    }

    // Take the kept rows' items out, shrink the table, and put them back further up.
    const auto paused = pausedUpdates(table);
    const int columns = table->columnCount();
    const int total = table->rowCount();
    QList<QTableWidgetItem *> kept;
    QList<bool> hidden;
    kept.reserve((total - rows.size()) * columns);
    hidden.reserve(total - rows.size());
    int removed = 0;
    for (int row = 0; row < total; ++row) {
        if (removed < rows.size() && rows.at(removed) == row) {
            ++removed;
            continue;
        }
        hidden.append(table->isRowHidden(row));
        for (int column = 0; column < columns; ++column)
            kept.append(table->takeItem(row, column));
    }
    table->setRowCount(0);
    table->setRowCount(hidden.size());
    for (int row = 0; row < hidden.size(); ++row) {
        for (int column = 0; column < columns; ++column)
            table->setItem(row, column, kept.at(row * columns + column));
        if (hidden.at(row))
            table->setRowHidden(row, true);
    }
}

void CUserManWidget::setUserRow(
    int row, int objectId, const QString &name, const QString &lastLogin)
{
    QTableWidget *table = ui->tableWidget;
    QTableWidgetItem *idItem = centredItem(QString());
    // A number, so that sorting by this column is numeric; its text is the decimal id.
    idItem->setData(Qt::DisplayRole, objectId);
    idItem->setData(Qt::UserRole, objectId);
    table->setItem(row, 0, idItem);
    // Names come from clients: shown without control characters and at most so long.
    table->setItem(row, 1, centredItem(printableText(name)));
    QTableWidgetItem *loginItem = centredItem(lastLogin);
    table->setItem(row, 2, loginItem);
    // A login updates the topmost row of its user.
    if (row == 0 || !loginItems.contains(objectId))
        loginItems.insert(objectId, loginItem);
}

void CUserManWidget::on_btnHistory_clicked()
{
    const QList<int> rows = selectedUserRows();
    if (rows.size() != 1)
        return;
    CSaveHistoryDlg dlg(settingsRecord, objectIdAt(rows.first()), this);
    connect(&dlg, &CSaveHistoryDlg::log, this, &CUserManWidget::log);
    dlg.exec();
}
