#include "csetupdlg.h"
#include "ui_csetupdlg.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

#include "cserversettings.h"
#include "storagehelpers.h"

CSetupDlg::CSetupDlg(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::CSetupDlg)
{
    ui->setupUi(this);
    // A title but no close button: the operator leaves through OK or Close.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::FramelessWindowHint);
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

    CServerSettings *settings = CServerSettings::instance();
    settings->saveDataDir = dir;
    settings->startWhenOSStarts = true;
    settings->save();

    writeRunValue(QStringLiteral("Ombrivale_Tolvern"),
        QLatin1Char('"') + QCoreApplication::applicationFilePath() + QLatin1Char('"'));
    accept();
}

void CSetupDlg::on_btnClose_clicked()
{
    reject();
}
