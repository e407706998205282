#include "csetupdlg.h"
#include "ui_csetupdlg.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QIcon>
#include <QMessageBox>

#include "cserversettings.h"
#include "storagehelpers.h"

CSetupDlg::CSetupDlg(CServerSettings *settings, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::CSetupDlg)
    , settingsRecord(settings)
{
    ui->setupUi(this);
    // A title bar with the title but no close button. Frameless would take the whole bar
    // away on X11 and Wayland, and with it the only way to move the dialog.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    // Shown before any window of the program, so it carries the program's icon itself.
    setWindowIcon(QIcon(QStringLiteral(":/images/tolvern.png")));
}

CSetupDlg::~CSetupDlg()
{
    delete ui;
}

void CSetupDlg::on_btnBrow_clicked()
{
    const QString path = QFileDialog::getExistingDirectory(
        this, tr("Select Directory"), QDir::currentPath(), QFileDialog::ShowDirsOnly);
    if (path.isEmpty())
        return;
    ui->edDir->setText(QDir::toNativeSeparators(path));
}

void CSetupDlg::on_btnOk_clicked()
{
    const QString dir = ui->edDir->text().trimmed();
    // QDir("") is the current directory, so the empty text needs its own test.
    if (dir.isEmpty() || !QDir(dir).exists()) {
        QMessageBox::critical(
            this, tr("Error!"), tr("Directory is empty or not exists"), QMessageBox::Ok);
        return;
    }

    CServerSettings *settings = settingsRecord;
    const CServerSettings before = *settings;
    settings->saveDataDir = dir;
    settings->startWhenOSStarts = true;
    QString reason;
    if (!settings->save(&reason)) {
        // The record keeps matching the file.
        *settings = before;
        QMessageBox::critical(this, tr("Error!"),
            tr("Settings could not be saved to %1: %2").arg(settings->iniFilePath(), reason),
            QMessageBox::Ok);
        return;
    }

    // The settings are in place; a missing autostart entry need not stop the first start.
    if (!writeRunValue(QStringLiteral("Ombrivale_Tolvern"),
            QLatin1Char('"') + QCoreApplication::applicationFilePath() + QLatin1Char('"'),
            &reason)) {
        QMessageBox::warning(this, tr("Warn!"),
            tr("Autostart entry could not be written: %1").arg(reason), QMessageBox::Ok);
    }
    accept();
}

void CSetupDlg::on_btnClose_clicked()
{
    reject();
}
