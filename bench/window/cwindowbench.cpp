#include "cwindowbench.h"

#include <cstdio>

#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableView>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include "benchtable.h"
#include "cservercore.h"
#include "cservermainwindow.h"
#include "cwindowserver.h"
#include "cserversettings.h"
#include "cuserdb.h"
#include "cusermanwidget.h"

namespace {

constexpr double MAX_DELETE_S = 5.0;
constexpr double MAX_SELECT_ALL_S = 0.2;
constexpr double MAX_LOG_BYTES_PER_LINE = 150.0;

double secondsOf(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

// Heap bytes of a string's text as the allocator hands them out: header, UTF-16 units and
// the terminator, rounded up to the allocator's 16-byte steps with its 8-byte tag.
qint64 textBytes(const QString &text)
{
    const qint64 request = 16 + 2 * (qint64(text.size()) + 1) + 8;
    return (request + 15) / 16 * 16;
}

// Answers every message box with Yes while it runs.
void answerBoxesWithYes(QTimer &timer)
{
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, [] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            if (QAbstractButton *yes = box->button(QMessageBox::Yes))
                yes->click();
        }
    });
    timer.start();
}

void pressSelectAll(QWidget *target)
{
    QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::ControlModifier);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_A, Qt::ControlModifier);
    QApplication::sendEvent(target, &release);
}

} // namespace

int CWindowBench::run(const QStringList &arguments)
{
    if (!parse(arguments)) {
        std::fprintf(stderr,
            "usage: tolvern-bench-window [--users N] [--log-lines N] [--dir PATH]\n"
            "Run with QT_QPA_PLATFORM=offscreen and a Release build.\n");
        return 64;
    }
    QTemporaryDir temp(baseDir.isEmpty()
            ? QDir::tempPath() + QStringLiteral("/tolvern-bench-XXXXXX")
            : baseDir + QStringLiteral("/tolvern-bench-XXXXXX"));
    if (!temp.isValid()) {
        note(QStringLiteral("cannot create a working folder"));
        return 1;
    }
    baseDir = temp.path();
    CServerSettings *settings = CServerSettings::instance();
    settings->setIniFilePath(baseDir + QStringLiteral("/tolvern.ini"));
    settings->saveDataDir = baseDir + QStringLiteral("/storage");
    settings->mainPort = 0;
    settings->filePort = 0;
    QDir().mkpath(settings->saveDataDir);
    if (!openDatabase())
        return 1;

    // The log first, while the user table is empty, so that nothing else fills the heap.
    if (!measureLog())
        failed = true;
    if (!measureUserPage())
        failed = true;

    printTable();
    QSqlDatabase::database().close();
    if (failed)
        return 1;
    for (const Row &row : rows) {
        if (!row.met)
            return 2;
    }
    return 0;
}

bool CWindowBench::parse(const QStringList &arguments)
{
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &name = arguments.at(i);
        if (i + 1 >= arguments.size())
            return false;
        const QString value = arguments.at(++i);
        bool ok = true;
        if (name == QLatin1String("--users"))
            users = value.toInt(&ok);
        else if (name == QLatin1String("--log-lines"))
            logLines = value.toInt(&ok);
        else if (name == QLatin1String("--dir"))
            baseDir = value;
        else
            return false;
        if (!ok || users < 1 || logLines < 1)
            return false;
    }
    return true;
}

bool CWindowBench::openDatabase()
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(baseDir + QStringLiteral("/users.db"));
    if (!db.open()) {
        note(QStringLiteral("cannot open the database"));
        return false;
    }
    // As the server opens it.
    QSqlQuery pragma(db);
    pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    pragma.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    CUserDb::instance();
    return true;
}

bool CWindowBench::fillUsers(int count)
{
    QSqlDatabase db = QSqlDatabase::database();
    QSqlQuery query;
    if (!query.exec(QStringLiteral("delete from t_user")) || !db.transaction())
        return false;
    query.prepare(QStringLiteral("insert into t_user (object_id, name, password, is_enabled, "
                                 "last_login) values (?, ?, 'pw', 'Y', ?)"));
    const QDateTime base = QDateTime::currentDateTime().addYears(-1);
    for (int id = 1; id <= count; ++id) {
        query.bindValue(0, id);
        query.bindValue(1, QStringLiteral("player%1").arg(id));
        query.bindValue(2, id % 3 ? QVariant(CUserDb::dateTimeText(base.addSecs(id))) : QVariant());
        if (!query.exec())
            return false;
    }
    return db.commit();
}

bool CWindowBench::measureUserPage()
{
    if (!fillUsers(users)) {
        note(QStringLiteral("cannot fill the user table"));
        return false;
    }
    CUserManWidget page(CServerSettings::instance(), CUserDb::instance(), nullptr);
    page.resize(800, 600);
    page.show();
    QApplication::processEvents();
    auto *table = page.findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    auto *del = page.findChild<QPushButton *>(QStringLiteral("btnDel"));
    if (!table || !del || table->rowCount() != users) {
        note(QStringLiteral("the user page did not load every user"));
        return false;
    }

    // Yardstick for the reload: a bare table of the same size filled with fresh items.
    QElapsedTimer timer;
    timer.start();
    QTableWidget bare(users, 3);
    for (int row = 0; row < users; ++row) {
        for (int column = 0; column < 3; ++column)
            bare.setItem(row, column, new QTableWidgetItem(QString::number(row)));
    }
    const double bareFill = secondsOf(timer);
    bare.setSelectionBehavior(QAbstractItemView::SelectRows);

    auto *refresh = page.findChild<QPushButton *>(QStringLiteral("btnRefresh"));
    auto *filter = page.findChild<QLineEdit *>(QStringLiteral("edFilter"));
    if (!refresh || !filter) {
        note(QStringLiteral("the user page lacks its refresh button or filter box"));
        return false;
    }
    timer.restart();
    refresh->click();
    const double reload = secondsOf(timer);

    // The filter against a plain pass over the same names.
    timer.restart();
    filter->setText(QStringLiteral("player1234"));
    const double narrow = secondsOf(timer);
    timer.restart();
    filter->clear();
    const double widen = secondsOf(timer);
    int matches = 0;
    timer.restart();
    for (int row = 0; row < users; ++row)
        matches += table->item(row, 1)->text().contains(
            QStringLiteral("player1234"), Qt::CaseInsensitive);
    const double plainPass = secondsOf(timer);

    // Sorting by id, against the toolkit sorting the bare table.
    QHeaderView *header = table->horizontalHeader();
    timer.restart();
    header->setSortIndicator(0, Qt::DescendingOrder);
    const double sort = secondsOf(timer);
    timer.restart();
    bare.sortItems(0, Qt::DescendingOrder);
    const double bareSort = secondsOf(timer);

    timer.restart();
    pressSelectAll(table);
    const double selectAll = secondsOf(timer);
    QApplication::processEvents();
    if (!del->isEnabled() || matches == 0) {
        note(QStringLiteral("select all selected nobody"));
        return false;
    }

    // Yardstick: the toolkit selecting all rows of the bare table.
    bare.show();
    QApplication::processEvents();
    timer.restart();
    pressSelectAll(&bare);
    const double bareSelectAll = secondsOf(timer);
    bare.hide();

    rows.push_back({ QStringLiteral("reload %1 users (F5)").arg(users),
        QStringLiteral("%1 s").arg(reload, 0, 'f', 2),
        QStringLiteral("%1 s filling a bare QTableWidget").arg(bareFill, 0, 'f', 2),
        QStringLiteral("(figure only)"), true });
    rows.push_back({ QStringLiteral("filter %1 users, narrow / clear").arg(users),
        QStringLiteral("%1 s / %2 s").arg(narrow, 0, 'f', 3).arg(widen, 0, 'f', 3),
        QStringLiteral("%1 s plain pass over the names").arg(plainPass, 0, 'f', 3),
        QStringLiteral("(figure only)"), true });
    rows.push_back({ QStringLiteral("sort %1 users by id").arg(users),
        QStringLiteral("%1 s").arg(sort, 0, 'f', 3),
        QStringLiteral("%1 s sortItems on the bare table").arg(bareSort, 0, 'f', 3),
        QStringLiteral("(figure only)"), true });

    QTimer answer;
    answerBoxesWithYes(answer);
    timer.restart();
    del->click();
    const double deleteAll = secondsOf(timer);
    answer.stop();
    QSqlQuery count;
    if (table->rowCount() != 0 || !count.exec(QStringLiteral("select count(*) from t_user"))
        || !count.next() || count.value(0).toInt() != 0) {
        note(QStringLiteral("the delete left users behind"));
        return false;
    }

    // Yardstick: the same deletes straight through the user database, without the page.
    if (!fillUsers(users))
        return false;
    QVector<int> ids;
    ids.reserve(users);
    for (int id = 1; id <= users; ++id)
        ids.append(id);
    QVector<int> kept;
    timer.restart();
    const bool directOk = CUserDb::instance()->deleteUsers(ids, &kept);
    const double directDelete = secondsOf(timer);
    if (!directOk || !kept.isEmpty()) {
        note(QStringLiteral("the direct delete failed"));
        return false;
    }

    rows.push_back({ QStringLiteral("Ctrl+A on %1 users").arg(users),
        QStringLiteral("%1 s").arg(selectAll, 0, 'f', 3),
        QStringLiteral("%1 s bare QTableWidget").arg(bareSelectAll, 0, 'f', 3),
        QStringLiteral("< %1 s").arg(MAX_SELECT_ALL_S), selectAll < MAX_SELECT_ALL_S });
    rows.push_back({ QStringLiteral("delete %1 selected users").arg(users),
        QStringLiteral("%1 s").arg(deleteAll, 0, 'f', 2),
        QStringLiteral("%1 s CUserDb::deleteUsers, no page").arg(directDelete, 0, 'f', 2),
        QStringLiteral("< %1 s").arg(MAX_DELETE_S), deleteAll < MAX_DELETE_S });
    page.hide();
    return true;
}

bool CWindowBench::measureLog()
{
    CWindowServer server;
    CServerMainWindow &window = *server.window();
    window.resize(800, 600);
    window.show();
    QApplication::processEvents();
    window.setLogLimit(logLines);
    auto *view = window.findChild<QTableView *>(QStringLiteral("logTable"));
    if (!view || view->model()->rowCount() != 2) {
        note(QStringLiteral("the log view is missing"));
        return false;
    }
    CServerCore *core = window.serverCore();
    const auto lineText
        = [](int i) { return QStringLiteral("[LOGIN] name=player%1, result=0").arg(i); };

    // The two listen lines are in already; these fill the log to its bound exactly.
    const int fillLines = logLines - view->model()->rowCount();
    qint64 texts = 0;
    for (int i = 0; i < fillLines; ++i)
        texts += textBytes(lineText(i));

    qint64 before = residentBytes();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < fillLines; ++i)
        core->log(lineText(i));
    const double fill = secondsOf(timer);
    QApplication::processEvents();
    const double perLine = double(residentBytes() - before - texts) / fillLines;
    if (view->model()->rowCount() != logLines) {
        note(QStringLiteral("the log did not fill to its bound"));
        return false;
    }
    // Full: every further line replaces the oldest.
    timer.restart();
    for (int i = 0; i < logLines; ++i)
        core->log(lineText(logLines + i));
    const double atBound = secondsOf(timer);
    QApplication::processEvents();
    // At the bound the oldest hundredth makes room at once.
    const int held = view->model()->rowCount();
    if (held > logLines || held < logLines - logLines / 100) {
        note(QStringLiteral("the log did not hold its bound"));
        return false;
    }

    // Yardstick: the same texts in a plain list, measured while the log still holds its
    // lines, so that neither reuses the other's freed memory.
    before = residentBytes();
    QStringList plain;
    for (int i = 0; i < fillLines; ++i) {
        plain.append(lineText(i));
        plain.last().squeeze();
    }
    const double listPerLine = double(residentBytes() - before - texts) / fillLines;

    rows.push_back({ QStringLiteral("log memory at the bound (%1 lines)").arg(logLines),
        QStringLiteral("%1 B/line over the text").arg(perLine, 0, 'f', 0),
        QStringLiteral("%1 B/line over the text in a QStringList").arg(listPerLine, 0, 'f', 0),
        QStringLiteral("<= %1 B/line").arg(MAX_LOG_BYTES_PER_LINE),
        perLine <= MAX_LOG_BYTES_PER_LINE });
    rows.push_back({ QStringLiteral("log line appended at the bound"),
        QStringLiteral("%1 us").arg(atBound / logLines * 1e6, 0, 'f', 1),
        QStringLiteral("%1 us while filling").arg(fill / fillLines * 1e6, 0, 'f', 1),
        QStringLiteral("(figure only)"), true });
    window.hide();
    return true;
}

qint64 CWindowBench::residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

void CWindowBench::note(const QString &line)
{
    std::fprintf(stderr, "[bench-window] %s\n", qPrintable(line));
}

void CWindowBench::printTable() const
{
    const QStringList headers = { QStringLiteral("figure"), QStringLiteral("measured"),
        QStringLiteral("yardstick (same run)"), QStringLiteral("target"), QStringLiteral("met") };
    QList<QStringList> lines;
    for (const Row &row : rows) {
        lines << QStringList { row.figure, row.measured, row.yardstick, row.target,
            row.met ? QStringLiteral("yes") : QStringLiteral("NO") };
    }
    printBenchTable(headers, lines);
    if (failed)
        std::printf("Some figures could not be measured; see the messages above.\n");
    std::fflush(stdout);
}
