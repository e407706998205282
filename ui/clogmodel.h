#ifndef CLOGMODEL_H
#define CLOGMODEL_H

#include <QAbstractTableModel>
#include <QList>
#include <QString>

// The system log as a table model: "Time" and "Message", newest line in row 0, at most
// limit() lines; at the bound the oldest hundredth makes room. The lines live in a ring buffer of
// one time stamp and one string each, so a full log costs little beyond its texts. Fed only through
// the appendLine() slot.
class CLogModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    static constexpr int DEFAULT_LIMIT = 100000;

    explicit CLogModel(QObject *parent = nullptr);
    ~CLogModel() override;

    void setLimit(int lines);
    int limit() const { return maxLines; }

    // Row 0 is the newest line.
    QString lineText(int row) const;
    QString lineTime(int row) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(
        int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

public slots:
    // Stamps the line with the current local time.
    void appendLine(const QString &msg);

private:
    struct Line
    {
        qint64 msecs = 0;
        QString text;
    };

    const Line &lineAt(int row) const;
    void dropOldest(int lines);

    QList<Line> ring;
    int oldest = 0; // index in ring of the oldest line
    int count = 0;
    int maxLines = DEFAULT_LIMIT;
};

#endif // CLOGMODEL_H
