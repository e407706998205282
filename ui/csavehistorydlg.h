#ifndef CSAVEHISTORYDLG_H
#define CSAVEHISTORYDLG_H

#include <QDialog>

class CServerSettings;

namespace Ui {
class CSaveHistoryDlg;
}

// One user's saves with their kept versions; Restore makes the selected version current and
// keeps the archive it replaces as a version, so a restore can itself be undone.
class CSaveHistoryDlg : public QDialog
{
    Q_OBJECT

public:
    CSaveHistoryDlg(CServerSettings *settings, int objectId, QWidget *parent = nullptr);
    ~CSaveHistoryDlg() override;

signals:
    void log(QString msg);

public slots:
    void refresh();

private slots:
    void on_btnRestore_clicked();
    void on_btnClose_clicked();
    void itemSelectionChanged();

private:
    Ui::CSaveHistoryDlg *ui = nullptr;
    CServerSettings *settingsRecord = nullptr;
    int userId = 0;
};

#endif // CSAVEHISTORYDLG_H
