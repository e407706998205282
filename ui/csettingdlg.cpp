#include "csettingdlg.h"
#include "ui_csettingdlg.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QMutex>
#include <QProgressDialog>

#include "cabstractsavestore.h"
#include "cserversettings.h"
#include "storagehelpers.h"

namespace {

const int lowestPort = 80;
const int highestPort = 65535;

// Base-10 port in [80, 65535]; QString::toInt already ignores surrounding blanks.
bool parsePort(const QString &text, int *port)
{
    bool ok = false;
    *port = text.toInt(&ok, 10);
    return ok && *port >= lowestPort && *port <= highestPort;
}

QDateTime cutOff(int rangeIndex)
{
    return CUserPurge::cutOffFor(rangeIndex == 0 ? 3 : 6, QDateTime::currentDateTime());
}

} // namespace

CSettingDlg::CSettingDlg(CServerSettings *settings, CUserDb *users, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::CSettingDlg)
    , settingsRecord(settings)
    , userDb(users)
{
    ui->setupUi(this);

    const QStringList ranges { tr("Not logged in within 3 months"),
        tr("Not logged in within 6 months") };
    for (QComboBox *box : { ui->combRangeClear, ui->combRangeDelUser }) {
        box->setEditable(false);
        box->addItems(ranges);
        box->setCurrentIndex(0);
    }

    ui->edMainPort->setText(QString::number(settings->mainPort));
    ui->edFilePort->setText(QString::number(settings->filePort));
    ui->edSaveDir->setText(QDir::toNativeSeparators(settings->saveDataDir));
    ui->chkStart->setChecked(settings->startWhenOSStarts);
    ui->chkTransferLogin->setChecked(settings->transferRequiresLogin);
}

CSettingDlg::~CSettingDlg()
{
    delete ui;
}

void CSettingDlg::on_btnBrow_clicked()
{
    const QString path = QFileDialog::getExistingDirectory(
        this, tr("Select directory"), QDir::currentPath(), QFileDialog::ShowDirsOnly);
    if (path.isEmpty())
        return;
    ui->edSaveDir->setText(QDir::toNativeSeparators(path));
}

void CSettingDlg::on_btnOk_clicked()
{
    const QString dir = ui->edSaveDir->text().trimmed();
    // A plain file would pass an existence test, yet no archive could ever be stored in it.
    if (dir.isEmpty() || !QFileInfo(dir).isDir()) {
        warn(tr("Storage directory is empty or not exists"));
        return;
    }
    int mainPort = 0;
    if (!parsePort(ui->edMainPort->text(), &mainPort)) {
        warn(tr("Main control port is incorrect"));
        return;
    }
    int filePort = 0;
    if (!parsePort(ui->edFilePort->text(), &filePort)) {
        warn(tr("Game data transfer port is incorrect"));
        return;
    }

    CServerSettings *settings = settingsRecord;
    const bool startWithOS = ui->chkStart->isChecked();
    const bool transferLogin = ui->chkTransferLogin->isChecked();
    // Compared as file locations, so the separators shown in the field do not count as a change.
    if (QFileInfo(dir) == QFileInfo(settings->saveDataDir) && mainPort == settings->mainPort
        && filePort == settings->filePort && startWithOS == settings->startWhenOSStarts
        && transferLogin == settings->transferRequiresLogin) {
        accept();
        return;
    }

    const CServerSettings before = settings->snapshot();
    {
        // The network thread reads the record at each file connection and transfer.
        QMutexLocker locker(&CServerSettings::lock());
        settings->saveDataDir = dir;
        settings->mainPort = mainPort;
        settings->filePort = filePort;
        settings->startWhenOSStarts = startWithOS;
        settings->transferRequiresLogin = transferLogin;
    }
    QString reason;
    if (!settings->save(&reason)) {
        // The record keeps matching the file, and the dialog stays open to try again.
        {
            QMutexLocker locker(&CServerSettings::lock());
            *settings = before;
        }
        fail(tr("Settings could not be saved to %1: %2").arg(settings->iniFilePath(), reason));
        return;
    }

    // Written again on every save, so an entry of an older version gets its Path= line.
    const QString runValueName = QStringLiteral("Ombrivale_Tolvern");
    if (settings->startWhenOSStarts) {
        if (!writeRunValue(runValueName,
                QLatin1Char('"') + QCoreApplication::applicationFilePath() + QLatin1Char('"'),
                &reason)) {
            fail(tr("Autostart entry could not be written: %1").arg(reason));
            return;
        }
    } else {
        deleteRunValue(runValueName);
    }

    const auto answer = QMessageBox::information(this, tr("Info"),
        tr("Click OK to restart the program for the changes to take effect, or click Cancel "
           "to take effect next time"),
        QMessageBox::Ok | QMessageBox::Cancel);
    if (answer == QMessageBox::Ok) {
        // Ends every running loop, this dialog's included; start-up then rebuilds the program.
        QCoreApplication::exit(RESTART_CODE);
        return;
    }
    accept();
}

void CSettingDlg::on_btnCancel_clicked()
{
    reject();
}

void CSettingDlg::on_btnClear_clicked()
{
    if (!confirm(tr("Are you sure to clear?")))
        return;
    const CUserPurge::Counts counts
        = purge(CUserPurge::ClearData, ui->combRangeClear->currentIndex());
    // Sticky: an earlier delete must still reach the user page when a later action matches
    // nobody.
    refreshUserList = refreshUserList || counts.found > 0;
    if (counts.databaseFailed) {
        fail(tr("Clearing stopped after the game data of %1 of %2 users: %3")
                 .arg(QString::number(counts.cleared + counts.missing),
                     QString::number(counts.found), counts.errorText));
        return;
    }
    if (counts.folderFailures > 0) {
        fail(tr("The game data of %1 users could not be removed").arg(counts.folderFailures));
        return;
    }
    QMessageBox::information(this, tr("Information"), tr("OK!"), QMessageBox::Ok);
}

void CSettingDlg::on_btnDelUser_clicked()
{
    if (!confirm(tr("Are you sure to delete?")))
        return;
    const CUserPurge::Counts counts
        = purge(CUserPurge::DeleteUsers, ui->combRangeDelUser->currentIndex());
    refreshUserList = refreshUserList || counts.deleted > 0;
    if (counts.databaseFailed) {
        fail(tr("Deleting stopped after %1 of %2 users: %3")
                 .arg(QString::number(counts.deleted), QString::number(counts.found),
                     counts.errorText));
        return;
    }
    if (counts.folderFailures > 0) {
        fail(tr("The game data of %1 deleted users could not be removed")
                 .arg(counts.folderFailures));
        return;
    }
    QMessageBox::information(this, tr("Information"), tr("OK!"), QMessageBox::Ok);
}

CUserPurge::Counts CSettingDlg::purge(CUserPurge::Mode mode, int rangeIndex)
{
    // The saves wherever they are: the storage folder or the bucket.
    CUserPurge work(userDb, mode, cutOff(rangeIndex),
        std::shared_ptr<CAbstractSaveStore>(
            CAbstractSaveStore::fromSettings(settingsRecord->snapshot())));
    // Shown only once the work looks like taking longer than a moment; no cancel: what is
    // committed stays committed.
    QProgressDialog progress(
        mode == CUserPurge::DeleteUsers ? tr("Deleting users...") : tr("Clearing game data..."),
        QString(), 0, 0, this);
    progress.setWindowModality(Qt::WindowModal);
    connect(&work, &CUserPurge::progress, &progress, [&progress](int done, int total) {
        progress.setMaximum(total);
        progress.setValue(done);
    });
    QEventLoop loop;
    connect(&work, &CUserPurge::finished, &loop, &QEventLoop::quit);
    // Nothing of the dialog is pressed again while the work runs.
    setEnabled(false);
    work.start();
    loop.exec();
    setEnabled(true);
    progress.reset();
    return work.counts();
}

void CSettingDlg::on_chkStart_stateChanged(int)
{
    // The box is read when OK is pressed.
}

void CSettingDlg::warn(const QString &text)
{
    QMessageBox::warning(this, tr("Warn!"), text, QMessageBox::Ok);
}

void CSettingDlg::fail(const QString &text)
{
    QMessageBox::critical(this, tr("Error!"), text, QMessageBox::Ok);
}

bool CSettingDlg::confirm(const QString &text)
{
    return QMessageBox::question(this, tr("Confirm"), text, QMessageBox::Yes | QMessageBox::No)
        == QMessageBox::Yes;
}
