#include "cadduserdlg.h"
#include "ui_cadduserdlg.h"

#include <QMessageBox>

#include "cuserdb.h"

CAddUserDlg::CAddUserDlg(CUserDb *users, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::CAddUserDlg)
    , userDb(users)
{
    ui->setupUi(this);
    // A title bar with the title but no close button. Frameless would take the whole bar
    // away on X11 and Wayland, and with it the only way to move the dialog.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
}

CAddUserDlg::~CAddUserDlg()
{
    delete ui;
}

void CAddUserDlg::on_btnOk_clicked()
{
    const QString name = ui->edName->text().trimmed();
    if (name.isEmpty()) {
        warn(tr("User name is empty"));
        return;
    }

    CUserDb *db = userDb;
    // Checked before the password so a taken name is reported whatever else is wrong.
    if (db->userExists(name)) {
        warn(tr("User name [%1] already exists").arg(name));
        return;
    }

    const QString password = ui->edPass->text().trimmed();
    if (password.isEmpty()) {
        warn(tr("Password is empty"));
        return;
    }

    int objectId = 0;
    if (!db->addUser(name, password, &objectId)) {
        warn(tr("User create failed"));
        return;
    }
    accept();
}

void CAddUserDlg::on_btnCancel_clicked()
{
    reject();
}

void CAddUserDlg::warn(const QString &text)
{
    QMessageBox::warning(this, tr("Warn!"), text, QMessageBox::Ok);
}
