#ifndef CUSERMANWIDGET_H
#define CUSERMANWIDGET_H

#include <QHash>
#include <QList>
#include <QWidget>

class QTableWidgetItem;

namespace Ui {
class CUserManWidget;
}

// The "Users" page: one table row per user, kept up to date by CUserDb's signals, and the
// buttons that add, delete and change users or open and clear their game data.
class CUserManWidget : public QWidget
{
    Q_OBJECT

public:
    explicit CUserManWidget(QWidget *parent = nullptr);
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
    void on_btnHistory_clicked();

private:
    // The selected rows' column-0 items: they carry the object ids.
    QList<QTableWidgetItem *> selectedUserItems() const;
    void setUserRow(int row, int objectId, const QString &name, const QString &lastLogin);

    Ui::CUserManWidget *ui = nullptr;
    // Each user's last-login cell by object id, so a login need not walk every row.
    QHash<int, QTableWidgetItem *> loginItems;
};

#endif // CUSERMANWIDGET_H
