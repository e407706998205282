#ifndef CSETUPDLG_H
#define CSETUPDLG_H

#include <QDialog>

class CServerSettings;

namespace Ui {
class CSetupDlg;
}

// First-run dialog: the operator names the storage folder; accepting it saves the settings
// with autostart switched on.
class CSetupDlg : public QDialog
{
    Q_OBJECT

public:
    explicit CSetupDlg(CServerSettings *settings, QWidget *parent = nullptr);
    ~CSetupDlg() override;

private slots:
    void on_btnBrow_clicked();
    void on_btnOk_clicked();
    void on_btnClose_clicked();

private:
    Ui::CSetupDlg *ui = nullptr;
    CServerSettings *settingsRecord = nullptr;
};

#endif // CSETUPDLG_H
