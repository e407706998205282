// The README and docs/ held against the program they describe: every "tolvern-server ..."
// command line in them parses with the program's own grammar (an admin command's "Usage:"
// lines from its --help, the server's options by its own parser), the configuration
// reference is the one made from the table of keys, links lead to files that exist, and the
// README stays short.
#include <algorithm>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include "cadmincommand.h"
#include "cserveroptions.h"

namespace {

struct CommandLine
{
    QString where; // file:line
    QStringList words; // after "tolvern-server"
    bool name = false; // "tolvern-server backup" in running text: a command named, not run
};

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QStringList markdownFiles()
{
    QStringList files { QStringLiteral(SOURCE_DIR "/README.md") };
    QDirIterator it(QStringLiteral(SOURCE_DIR "/docs"), { QStringLiteral("*.md") }, QDir::Files);
    while (it.hasNext())
        files << it.next();
    files.sort();
    return files;
}

// Shell words up to the end of the command: quotes and $(...) kept within a word, stopped by
// a redirection, a pipe, a list operator or a comment.
QStringList shellWords(const QString &text)
{
    QStringList words;
    QString word;
    bool inWord = false;
    int depth = 0;
    QChar quote;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
            else
                word += c;
            continue;
        }
        if (depth > 0) {
            depth += c == QLatin1Char('(') ? 1 : c == QLatin1Char(')') ? -1 : 0;
            word += c;
            continue;
        }
        if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            quote = c;
            inWord = true;
        } else if (c == QLatin1Char('$') && text.mid(i, 2) == QLatin1String("$(")) {
            depth = 1;
            word += QLatin1String("$(");
            ++i;
            inWord = true;
        } else if (c.isSpace()) {
            if (inWord)
                words << word;
            word.clear();
            inWord = false;
        } else if (QStringLiteral("><|;&#").contains(c) && !inWord) {
            return words;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words << word;
    return words;
}

// Where the command itself stands: after sudo with its options and variables set for it
// ("journalctl -u tolvern-server" runs journalctl).
qsizetype commandAt(const QStringList &words)
{
    static const QRegularExpression assignment(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*="));
    qsizetype at = 0;
    while (at < words.size()) {
        const QString &word = words.at(at);
        if (word == QLatin1String("sudo") || assignment.match(word).hasMatch()) {
            ++at;
        } else if (word == QLatin1String("-u") && at > 0) {
            at += 2;
        } else if (word.startsWith(QLatin1Char('-')) && at > 0) {
            ++at;
        } else {
            return at;
        }
    }
    return -1;
}

// Every command line that runs tolvern-server: in shell code blocks and in inline code.
QList<CommandLine> commandLines()
{
    QList<CommandLine> found;
    static const QRegularExpression inlineCode(QStringLiteral("`([^`]*)`"));
    for (const QString &path : markdownFiles()) {
        const QStringList lines = readText(path).split(QLatin1Char('\n'));
        bool inShell = false;
        bool inOther = false;
        const QString name = QDir(QStringLiteral(SOURCE_DIR)).relativeFilePath(path);
        for (int i = 0; i < lines.size(); ++i) {
            QString line = lines.at(i);
            const int number = i + 1;
            if (line.startsWith(QLatin1String("```"))) {
                const QString language = line.mid(3).trimmed();
                if (inShell || inOther) {
                    inShell = inOther = false;
                } else if (language == QLatin1String("sh") || language == QLatin1String("bash")) {
                    inShell = true;
                } else {
                    inOther = true;
                }
                continue;
            }
            if (inOther)
                continue;
            QStringList texts;
            if (inShell) {
                while (line.endsWith(QLatin1Char('\\')) && i + 1 < lines.size())
                    line = line.chopped(1) + QLatin1Char(' ') + lines.at(++i);
                texts << line;
            } else {
                for (const QRegularExpressionMatch &m : inlineCode.globalMatch(line))
                    texts << m.captured(1);
            }
            for (const QString &text : std::as_const(texts)) {
                const QStringList words = shellWords(text);
                const qsizetype at = commandAt(words);
                if (at < 0
                    || (words.at(at) != QLatin1String("tolvern-server")
                        && !words.at(at).endsWith(QLatin1String("/tolvern-server"))))
                    continue;
                // A synopsis in running text ("--check-config [FILE]") is grammar, not a
                // command line.
                const QStringList rest = words.mid(at + 1);
                if (!inShell
                    && rest.join(QLatin1Char(' '))
                           .contains(QRegularExpression(QStringLiteral("[\\[\\]|]|\\.\\.\\."))))
                    continue;
                static const QRegularExpression word(QStringLiteral("^[a-z]+$"));
                const bool named = !inShell && !rest.isEmpty() && rest.size() <= 2
                    && std::all_of(rest.cbegin(), rest.cend(),
                        [](const QString &w) { return word.match(w).hasMatch(); });
                found << CommandLine { QStringLiteral("%1:%2").arg(name).arg(number), rest, named };
            }
        }
    }
    return found;
}

// A usage synopsis ("users purge --inactive 3m|6m [--data-only]", "delete ID...") as a
// regular expression over words joined by single blanks.
class Synopsis
{
public:
    explicit Synopsis(const QString &text)
    {
        static const QRegularExpression pieces(
            QStringLiteral("\\[|\\]|\\.\\.\\.|\\s\\|\\s|[^\\s\\[\\]]+"));
        for (const QRegularExpressionMatch &m : pieces.globalMatch(text)) {
            QString token = m.captured(0);
            if (token.endsWith(QLatin1String("...")) && token.size() > 3) {
                tokens << token.chopped(3) << QStringLiteral("...");
                continue;
            }
            tokens << token.trimmed();
        }
    }
    QString pattern()
    {
        at = 0;
        return alternatives();
    }

private:
    QString alternatives()
    {
        QStringList options { sequence() };
        while (at < tokens.size() && tokens.at(at) == QLatin1String("|")) {
            ++at;
            options << sequence();
        }
        return options.size() == 1 ? options.first()
                                   : QStringLiteral("(?:%1)").arg(options.join(QLatin1Char('|')));
    }
    QString sequence()
    {
        QString out;
        while (at < tokens.size() && tokens.at(at) != QLatin1String("|")
            && tokens.at(at) != QLatin1String("]")) {
            QString item;
            if (tokens.at(at) == QLatin1String("[")) {
                ++at;
                item = QStringLiteral("(?:%1)?").arg(alternatives());
                ++at; // "]"
            } else {
                item = word(tokens.at(at++));
            }
            if (at < tokens.size() && tokens.at(at) == QLatin1String("...")) {
                item = QStringLiteral("(?:%1)+").arg(item);
                ++at;
            }
            out += item;
        }
        return out;
    }
    // One word with a leading blank: a placeholder in capitals is any word, "a|b" either;
    // after a slash (s3://BUCKET) it is the rest of the word.
    static QString word(const QString &text)
    {
        static const QRegularExpression placeholder(QStringLiteral("^(\\S*/)?[A-Z][A-Z0-9_]*$"));
        QStringList choices;
        for (const QString &part : text.split(QLatin1Char('|'))) {
            const QRegularExpressionMatch found = placeholder.match(part);
            choices << (found.hasMatch()
                    ? QRegularExpression::escape(found.captured(1)) + QStringLiteral("\\S+")
                    : QRegularExpression::escape(part));
        }
        return QStringLiteral(" (?:%1)").arg(choices.join(QLatin1Char('|')));
    }

    QStringList tokens;
    qsizetype at = 0;
};

// The "Usage:" lines of "tolvern-server WORDS --help", continuation lines joined, without the
// options every admin command takes anywhere on its line.
QStringList usageLines(const QStringList &words)
{
    QProcess program;
    program.start(
        QStringLiteral(TOLVERN_SERVER_PATH), words + QStringList { QStringLiteral("--help") });
    program.waitForFinished(30000);
    const QStringList lines
        = QString::fromUtf8(program.readAllStandardOutput()).split(QLatin1Char('\n'));
    QStringList usages;
    bool inUsage = false;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("Usage: "))) {
            usages << line.mid(7).trimmed();
            inUsage = true;
        } else if (inUsage && line.startsWith(QLatin1Char(' '))) {
            if (line.trimmed().startsWith(QLatin1String("tolvern-server ")))
                usages << line.trimmed();
            else
                usages.last() += QLatin1Char(' ') + line.trimmed();
        } else {
            inUsage = false;
        }
    }
    static const QRegularExpression common(QStringLiteral("\\s*\\[--(config|workdir) [A-Z]+\\]"));
    for (QString &usage : usages)
        usage.remove(common);
    return usages;
}

// Without --config FILE and --workdir DIR, which every admin command takes anywhere.
QStringList withoutCommonOptions(const QStringList &words)
{
    QStringList out;
    for (int i = 0; i < words.size(); ++i) {
        const QString &word = words.at(i);
        if (word == QLatin1String("--config") || word == QLatin1String("--workdir")) {
            ++i;
            continue;
        }
        if (!word.startsWith(QLatin1String("--config="))
            && !word.startsWith(QLatin1String("--workdir=")))
            out << word;
    }
    return out;
}

} // namespace

class tst_Docs : public QObject
{
    Q_OBJECT

private slots:
    void commandLinesParse_data();
    void commandLinesParse();
    void synopsisMatching_data();
    void synopsisMatching();
    void configurationReferenceIsTheTable();
    void readmeShortAndLinksLead();
};

void tst_Docs::commandLinesParse_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<bool>("name");
    const QList<CommandLine> lines = commandLines();
    QVERIFY(lines.size() > 30);
    for (const CommandLine &line : lines)
        QTest::newRow(qPrintable(line.where + QLatin1Char(' ') + line.words.join(QLatin1Char(' '))))
            << line.words << line.name;
}

void tst_Docs::commandLinesParse()
{
    QFETCH(QStringList, words);
    QFETCH(bool, name);
    if (name) {
        // A command named in running text: one of the program's usage lines starts so.
        QVERIFY2(CAdminCommand::isVerb(words.first()), qPrintable(words.first()));
        const QString start = QStringLiteral("tolvern-server ") + words.join(QLatin1Char(' '));
        // The subcommand's own usage where it has one ("users purge"), else the verb's.
        const QStringList usages = usageLines(words) + usageLines(words.mid(0, 1));
        QVERIFY2(std::any_of(usages.cbegin(), usages.cend(),
                     [&](const QString &usage) {
                         return usage == start || usage.startsWith(start + QLatin1Char(' '));
                     }),
            qPrintable(start + QStringLiteral(" begins none of\n  ")
                + usages.join(QStringLiteral("\n  "))));
        return;
    }
    if (words.isEmpty() || !CAdminCommand::isVerb(words.first())) {
        CServerOptions options;
        QVERIFY2(options.parse(words) != CServerOptions::Invalid, qPrintable(options.errorText()));
        return;
    }
    // The verb's own usage, or its subcommand's where it has one.
    const QStringList line = withoutCommonOptions(words);
    QStringList usages = usageLines(line.mid(0, 2));
    if (usages.isEmpty())
        usages = usageLines(line.mid(0, 1));
    QVERIFY2(!usages.isEmpty(), qPrintable(line.first()));
    QString joined = QStringLiteral("tolvern-server");
    for (const QString &word : line)
        joined += QLatin1Char(' ') + QString(word).replace(QLatin1Char(' '), QLatin1Char('_'));
    for (const QString &usage : std::as_const(usages)) {
        const QString pattern
            = QStringLiteral("^tolvern-server%1$").arg(Synopsis(usage.mid(15)).pattern());
        if (QRegularExpression(pattern).match(joined).hasMatch())
            return;
    }
    QFAIL(qPrintable(QStringLiteral("%1\nmatches none of\n  %2")
                         .arg(joined, usages.join(QStringLiteral("\n  ")))));
}

void tst_Docs::synopsisMatching_data()
{
    QTest::addColumn<QString>("usage");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("matches");
    const QString purge = QStringLiteral("users purge --inactive 3m|6m [--data-only] [--dry-run]");
    QTest::newRow("purge") << purge << QStringLiteral("users purge --inactive 6m --dry-run")
                           << true;
    QTest::newRow("purge, 5m") << purge << QStringLiteral("users purge --inactive 5m") << false;
    QTest::newRow("purge, options swapped")
        << purge << QStringLiteral("users purge --dry-run --inactive 3m") << false;
    QTest::newRow("purge, misspelt")
        << purge << QStringLiteral("users purge --inactive 3m --dryrun") << false;
    const QString remove = QStringLiteral("users delete ID...");
    QTest::newRow("delete two") << remove << QStringLiteral("users delete 7 9") << true;
    QTest::newRow("delete none") << remove << QStringLiteral("users delete") << false;
    const QString verify = QStringLiteral("saves verify ID|--all");
    QTest::newRow("verify all") << verify << QStringLiteral("saves verify --all") << true;
    QTest::newRow("verify one") << verify << QStringLiteral("saves verify 7") << true;
    QTest::newRow("verify both") << verify << QStringLiteral("saves verify 7 --all") << false;
    const QString lines = QStringLiteral("users list [--json] | add NAME PASS");
    QTest::newRow("either line") << lines << QStringLiteral("add alice pw") << true;
    const QString backup = QStringLiteral("backup --into PARENT [--keep N]");
    QTest::newRow("backup") << backup << QStringLiteral("backup --into /b --keep 7") << true;
    QTest::newRow("backup, keep alone")
        << backup << QStringLiteral("backup --into /b --keep") << false;
    const QString copy = QStringLiteral("saves copy --to s3://BUCKET[/PREFIX]");
    QTest::newRow("a bucket") << copy << QStringLiteral("saves copy --to s3://b/tolvern") << true;
    QTest::newRow("a bucket, no scheme") << copy << QStringLiteral("saves copy --to b") << false;
    QTest::newRow("a bucket, none") << copy << QStringLiteral("saves copy --to s3://") << false;
    QTest::newRow("word too many")
        << QStringLiteral("admin token") << QStringLiteral("admin token now") << false;
}

void tst_Docs::synopsisMatching()
{
    // The matcher itself, so a line that should not parse cannot slip through it.
    QFETCH(QString, usage);
    QFETCH(QString, line);
    QFETCH(bool, matches);
    const QString pattern = QStringLiteral("^tolvern-server%1$").arg(Synopsis(usage).pattern());
    QCOMPARE(QRegularExpression(pattern).match(QStringLiteral("tolvern-server ") + line).hasMatch(),
        matches);
}

void tst_Docs::configurationReferenceIsTheTable()
{
    QProcess tool;
    tool.start(QStringLiteral(INIREFERENCE_PATH), { QStringLiteral("--markdown") });
    QVERIFY(tool.waitForFinished(30000));
    QCOMPARE(tool.exitCode(), 0);
    const QString made = QString::fromUtf8(tool.readAllStandardOutput());
    const QString page = readText(QStringLiteral(SOURCE_DIR "/docs/configuration.md"));
    const QString begin = QStringLiteral("<!-- made by tolvern-inireference --markdown -->\n");
    const QString end = QStringLiteral("<!-- end of what tolvern-inireference made -->");
    const qsizetype from = page.indexOf(begin);
    const qsizetype to = page.indexOf(end);
    QVERIFY2(from >= 0 && to > from, "docs/configuration.md has no block made from the table");
    // Regenerate with: build/bin/tolvern-inireference --markdown
    QCOMPARE(page.mid(from + begin.size(), to - from - begin.size()), made);
}

void tst_Docs::readmeShortAndLinksLead()
{
    const QString readme = readText(QStringLiteral(SOURCE_DIR "/README.md"));
    QVERIFY2(readme.count(QLatin1Char('\n')) <= 300,
        qPrintable(QString::number(readme.count(QLatin1Char('\n')))));
    static const QRegularExpression link(QStringLiteral("\\]\\(([^)#:]+)(#[^)]*)?\\)"));
    for (const QString &path : markdownFiles()) {
        const QDir base = QFileInfo(path).absoluteDir();
        for (const QRegularExpressionMatch &m : link.globalMatch(readText(path)))
            QVERIFY2(QFileInfo::exists(base.absoluteFilePath(m.captured(1))),
                qPrintable(path + QStringLiteral(": ") + m.captured(1)));
    }
}

QTEST_GUILESS_MAIN(tst_Docs)
#include "tst_docs.moc"
