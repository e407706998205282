#ifndef CSETTINGDLG_H
#define CSETTINGDLG_H

#include <QDialog>

#include "cuserpurge.h"

class CServerSettings;

namespace Ui {
class CSettingDlg;
}

// Changes the storage folder, the ports and autostart; OK saves and offers an in-process
// restart (exit code 2). Clearing and deleting inactive users act at once.
class CSettingDlg : public QDialog
{
    Q_OBJECT

public:
    // What the event loop returns when the operator restarts the program for new settings;
    // start-up builds it again. Never a process exit status.
    static constexpr int RESTART_CODE = 1000;

    CSettingDlg(CServerSettings *settings, CUserDb *userDb, QWidget *parent = nullptr);
    ~CSettingDlg() override;

    // Set once a clear or delete action has matched a user; the owner then reloads the
    // user page.
    bool refreshUserList = false;

private slots:
    void on_btnBrow_clicked();
    void on_btnOk_clicked();
    void on_btnCancel_clicked();
    void on_btnClear_clicked();
    void on_btnDelUser_clicked();
    void on_chkStart_stateChanged(int state);

private:
    void warn(const QString &text);
    void fail(const QString &text);
    bool confirm(const QString &text);
    // Runs a purge of the users inactive for the range's months on its own thread, with a
    // progress window should it take a while.
    CUserPurge::Counts purge(CUserPurge::Mode mode, int rangeIndex);

    Ui::CSettingDlg *ui = nullptr;
    CServerSettings *settingsRecord = nullptr;
    CUserDb *userDb = nullptr;
};

#endif // CSETTINGDLG_H
