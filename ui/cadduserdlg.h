#ifndef CADDUSERDLG_H
#define CADDUSERDLG_H

#include <QDialog>

class CUserDb;

namespace Ui {
class CAddUserDlg;
}

// Creates one user account by hand. The new user reaches the user page through
// CUserDb::userAdd, not through this dialog.
class CAddUserDlg : public QDialog
{
    Q_OBJECT

public:
    explicit CAddUserDlg(CUserDb *userDb, QWidget *parent = nullptr);
    ~CAddUserDlg() override;

private slots:
    void on_btnOk_clicked();
    void on_btnCancel_clicked();

private:
    void warn(const QString &text);

    Ui::CAddUserDlg *ui = nullptr;
    CUserDb *userDb = nullptr;
};

#endif // CADDUSERDLG_H
