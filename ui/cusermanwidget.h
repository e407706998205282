#ifndef CUSERMANWIDGET_H
#define CUSERMANWIDGET_H

#include <QHash>
#include <QList>
#include <QWidget>

class CServerSettings;
class CUserDb;

class QLineEdit;
class QPushButton;
class QTableWidgetItem;

namespace Ui {
class CUserManWidget;
}

// The "Users" page: one table row per user, kept up to date by CUserDb's signals, and the
// buttons that add, delete and change users or open and clear their game data. Every update
// arrives through a slot taking its data by value, so the signals may as well be queued.
class CUserManWidget : public QWidget
{
    Q_OBJECT

public:
    CUserManWidget(CServerSettings *settings, CUserDb *userDb, QWidget *parent = nullptr);
    ~CUserManWidget() override;

signals:
    void log(QString msg);

public slots:
    void userAdd(int objectId, const QString &name);
    void userLogin(int objectId);
    void refresh();

private slots:
    void on_btnAdd_clicked();
    void on_btnDel_clicked();
    void on_btnBrow_clicked();
    void on_btnClear_clicked();
    void on_btnRefresh_clicked();
    void itemSelectionChanged();
    void on_btnChangePass_clicked();
    void applyFilter();
    void sortByIndicator();
    void on_btnHistory_clicked();

private:
    // The rows of the selected, visible users, top to bottom. Worked out from the selection
    // ranges, so it costs no more than the rows it returns.
    QList<int> selectedUserRows() const;
    // The row of the first selected user in selection order, or -1.
    int firstSelectedUserRow() const;
    int objectIdAt(int row) const;
    void setUserRow(int row, int objectId, const QString &name, const QString &lastLogin);
    bool rowMatchesFilter(int row, const QString &text) const;
    // Removes the rows (ascending, no repeats) at a cost linear in the table.
    void removeUserRows(const QList<int> &rows);
    void addMnemonic(QPushButton *button);

    Ui::CUserManWidget *ui = nullptr;
    CServerSettings *settingsRecord = nullptr;
    CUserDb *userDb = nullptr;
    QLineEdit *filterEdit = nullptr;
    // Each user's last-login cell by object id, so a login need not walk every row.
    QHash<int, QTableWidgetItem *> loginItems;
};

#endif // CUSERMANWIDGET_H
