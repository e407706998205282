#include "csavehistorydlg.h"
#include "ui_csavehistorydlg.h"

#include <QMessageBox>
#include <QTreeWidgetItem>

#include "csavestore.h"
#include "cserversettings.h"
#include "cuserfolder.h"

namespace {

// Item data of a version row: the save it belongs to and its own name.
constexpr int SaveRole = Qt::UserRole;
constexpr int VersionRole = Qt::UserRole + 1;

QStringList columns(const CSaveStore::Entry &entry)
{
    return { entry.name, QString::number(entry.size),
        entry.modified.toString(QStringLiteral("yy-MM-dd hh:mm:ss")) };
}

} // namespace

CSaveHistoryDlg::CSaveHistoryDlg(CServerSettings *settings, int objectId, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::CSaveHistoryDlg)
    , settingsRecord(settings)
    , userId(objectId)
{
    ui->setupUi(this);
    setWindowTitle(tr("Save History of %1").arg(objectId));
    connect(ui->treeSaves, &QTreeWidget::itemSelectionChanged, this,
        &CSaveHistoryDlg::itemSelectionChanged);
    refresh();
}

CSaveHistoryDlg::~CSaveHistoryDlg()
{
    delete ui;
}

void CSaveHistoryDlg::refresh()
{
    QTreeWidget *tree = ui->treeSaves;
    tree->clear();
    const std::unique_ptr<CAbstractSaveStore> store
        = CAbstractSaveStore::fromSettings(*settingsRecord);
    const QString user = CUserFolder::name(userId);
    CSaveStore::Outcome outcome;
    outcome.status = CSaveStore::Status::NotFound;
    const QList<CSaveStore::Entry> saves
        = store ? store->saves(user, &outcome) : QList<CSaveStore::Entry>();
    for (const CSaveStore::Entry &save : saves) {
        auto *saveItem = new QTreeWidgetItem(tree, columns(save));
        const QString saveName = user + QLatin1Char('/') + save.name;
        for (const CSaveStore::Entry &version : store->history(saveName)) {
            auto *item = new QTreeWidgetItem(saveItem, columns(version));
            item->setData(0, SaveRole, saveName);
            item->setData(0, VersionRole, version.name);
        }
    }
    tree->expandAll();
    tree->resizeColumnToContents(0);
    if (!outcome.ok())
        ui->labelInfo->setText(tr("No game data for %1").arg(userId));
    else if (saves.isEmpty())
        ui->labelInfo->setText(tr("No saves"));
    else
        ui->labelInfo->setText(tr("Select a version and press Restore to make it current; the "
                                  "current archive is kept as a version."));
    itemSelectionChanged();
}

void CSaveHistoryDlg::itemSelectionChanged()
{
    const QTreeWidgetItem *item = ui->treeSaves->currentItem();
    ui->btnRestore->setEnabled(
        item && item->isSelected() && !item->data(0, VersionRole).toString().isEmpty());
}

void CSaveHistoryDlg::on_btnRestore_clicked()
{
    const QTreeWidgetItem *item = ui->treeSaves->currentItem();
    if (!item || item->data(0, VersionRole).toString().isEmpty())
        return;
    const QString saveName = item->data(0, SaveRole).toString();
    const QString version = item->data(0, VersionRole).toString();
    const QMessageBox::StandardButton answer = QMessageBox::question(this, tr("Question!"),
        tr("Restore save %1 to version %2? The current archive is kept as a version.")
            .arg(saveName, version),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
    if (answer != QMessageBox::Yes)
        return;

    QString why;
    const std::unique_ptr<CAbstractSaveStore> store
        = CAbstractSaveStore::fromSettings(*settingsRecord, &why);
    CSaveStore::Outcome outcome;
    outcome.status = CSaveStore::Status::Failed;
    outcome.message = why;
    if (store)
        outcome = store->restore(saveName, version);
    if (outcome.ok()) {
        emit log(outcome.keptVersion.isEmpty()
                ? tr("Restored save %1 to version %2").arg(saveName, version)
                : tr("Restored save %1 to version %2; the replaced archive is version %3")
                      .arg(saveName, version, outcome.keptVersion));
        refresh();
        QMessageBox::information(this, tr("Succeed!"), tr("Save restored"), QMessageBox::Ok);
    } else {
        emit log(tr("Restore of save %1 to version %2 failed: %3")
                     .arg(saveName, version, outcome.message));
        refresh();
        QMessageBox::critical(
            this, tr("Error!"), tr("Restore failed: %1").arg(outcome.message), QMessageBox::Ok);
    }
}

void CSaveHistoryDlg::on_btnClose_clicked()
{
    accept();
}
