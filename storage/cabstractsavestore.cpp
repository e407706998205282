#include "cabstractsavestore.h"

#include <algorithm>

#include <QCoreApplication>

#include "cs3bucket.h"
#include "cs3savestore.h"
#include "csavehistory.h"
#include "csavestore.h"
#include "cserversettings.h"

namespace {

QString translate(const char *text)
{
    return QCoreApplication::translate("CSaveStore", text);
}

} // namespace

CAbstractSaveStore::CAbstractSaveStore(const Limits &limits)
    : lim(limits)
{
}

CAbstractSaveStore::~CAbstractSaveStore() = default;

CAbstractSaveStore::Limits CAbstractSaveStore::limitsOf(const CServerSettings &settings)
{
    Limits limits;
    limits.keepVersions = settings.keepVersions;
    limits.maxSaveBytes = settings.maxSaveBytes;
    limits.maxUserBytes = settings.maxUserBytes;
    limits.minFreeBytes = settings.minFreeBytes;
    return limits;
}

std::unique_ptr<CAbstractSaveStore> CAbstractSaveStore::fromSettings(
    const CServerSettings &settings, QString *why)
{
    if (!settings.backendProblem().isEmpty()) {
        if (why)
            *why = settings.backendProblem();
        return nullptr;
    }
    if (!settings.savesInS3()) {
        // Never the file system's root in place of a folder not set.
        if (!settings.saveDataDir.isEmpty())
            return std::make_unique<CSaveStore>(settings.saveDataDir, limitsOf(settings));
        if (why)
            *why = translate("no storage folder is set");
        return nullptr;
    }
    CS3Config config;
    QString error;
    if (!CS3Config::fromSettings(settings, &config, &error)) {
        if (why)
            *why = error;
        return nullptr;
    }
    return std::make_unique<CS3SaveStore>(CS3Bucket::shared(config), limitsOf(settings));
}

QString CAbstractSaveStore::historyFolderName()
{
    return CSaveHistory::folderName();
}

bool CAbstractSaveStore::isHistoryName(const QString &saveName)
{
    // The last step names a file (the archive adds ".z"); only the folders lead anywhere.
    QStringList steps = saveName.split(QLatin1Char('/'));
    steps.removeLast();
    return std::any_of(steps.cbegin(), steps.cend(), CSaveHistory::isFolderName);
}

bool CAbstractSaveStore::isValidSaveName(const QString &saveName)
{
    if (saveName.isEmpty() || saveName.startsWith(QLatin1Char('/'))
        || saveName.endsWith(QLatin1Char('/')) || saveName.contains(QLatin1Char('\\'))
        || saveName.contains(QChar(0)))
        return false;
    const QStringList steps = saveName.split(QLatin1Char('/'));
    if (steps.contains(QStringLiteral("..")) || steps.last() == QLatin1String("."))
        return false;
    return !isHistoryName(saveName);
}

QString CAbstractSaveStore::archiveName(const QString &saveName)
{
    return saveName + QStringLiteral(".z");
}

QString CAbstractSaveStore::userFolderOf(const QString &archive)
{
    QStringList steps;
    for (const QString &step : archive.split(QLatin1Char('/'))) {
        if (!step.isEmpty() && step != QLatin1String("."))
            steps << step;
    }
    return steps.size() >= 2 ? steps.first() : QString();
}

CAbstractSaveStore::Outcome CAbstractSaveStore::saveSizeOutcome(qint64 size) const
{
    Outcome out;
    if (lim.maxSaveBytes > 0 && size > lim.maxSaveBytes) {
        out.status = Status::Refused;
        out.message = translate("larger than MaxSaveBytes (%1 bytes)").arg(lim.maxSaveBytes);
    }
    return out;
}
