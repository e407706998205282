#include "clogmodel.h"

#include <QDateTime>

namespace {

const QString timeFormat = QStringLiteral("MM-dd hh:mm:ss");

// A line shown on one row: breaks and tabs would make the row taller or ragged.
QString singleLine(const QString &text)
{
    QString line = text;
    for (QChar &c : line) {
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QLatin1Char('\t'))
            c = QLatin1Char(' ');
    }
    return line;
}

} // namespace

CLogModel::CLogModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

CLogModel::~CLogModel() = default;

void CLogModel::setLimit(int lines)
{
    lines = qMax(1, lines);
    if (count > lines)
        dropOldest(count - lines);
    // Re-pack oldest first, so the ring can grow or shrink to the new bound.
    QList<Line> packed;
    packed.reserve(count);
    for (int row = count - 1; row >= 0; --row)
        packed.append(lineAt(row));
    ring = std::move(packed);
    oldest = 0;
    maxLines = lines;
}

QString CLogModel::lineText(int row) const
{
    return row >= 0 && row < count ? lineAt(row).text : QString();
}

QString CLogModel::lineTime(int row) const
{
    if (row < 0 || row >= count)
        return QString();
    return QDateTime::fromMSecsSinceEpoch(lineAt(row).msecs).toString(timeFormat);
}

int CLogModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count;
}

int CLogModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 2;
}

QVariant CLogModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= count)
        return QVariant();
    const Line &line = lineAt(index.row());
    if (index.column() == 0) {
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
            return lineTime(index.row());
        return QVariant();
    }
    if (role == Qt::DisplayRole)
        return singleLine(line.text);
    if (role == Qt::ToolTipRole)
        return line.text;
    return QVariant();
}

QVariant CLogModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole) {
        if (section == 0)
            return QStringLiteral("Time");
        if (section == 1)
            return QStringLiteral("Message");
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags CLogModel::flags(const QModelIndex &index) const
{
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

void CLogModel::appendLine(const QString &msg)
{
    // Removing rows costs the view a pass over all of them, whether one row goes or a
    // thousand, so at the bound the oldest hundredth goes at once.
    if (count == maxLines)
        dropOldest(qMax(1, maxLines / 100));
    Line line { QDateTime::currentMSecsSinceEpoch(), msg };
    // Spare capacity of a string built up piece by piece would stay with the line for good.
    line.text.squeeze();

    beginInsertRows(QModelIndex(), 0, 0);
    if (ring.size() < maxLines) {
        ring.append(std::move(line));
    } else {
        ring[(oldest + count) % maxLines] = std::move(line);
    }
    ++count;
    endInsertRows();
}

const CLogModel::Line &CLogModel::lineAt(int row) const
{
    // Row 0 is the newest line, the last one written.
    return ring.at((oldest + count - 1 - row) % ring.size());
}

void CLogModel::dropOldest(int lines)
{
    beginRemoveRows(QModelIndex(), count - lines, count - 1);
    for (int i = 0; i < lines; ++i) {
        ring[oldest] = Line();
        oldest = (oldest + 1) % ring.size();
    }
    count -= lines;
    endRemoveRows();
}
