// The options that `quorvel --help`, the manual page and docs/ list, and the exit statuses of
// the manual page and docs/: the three are read as a reader sees them and must agree.
#include "support/files.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <algorithm>
#include <map>

namespace
{

QString sourcePath(const QString &relative)
{
    return QDir(qEnvironmentVariable("QUORVEL_SOURCE_DIR")).filePath(relative);
}

// One option as all its names, sorted, so "-t, --traffic" and "--traffic, -t" are the same.
QString optionKey(const QString &text)
{
    static const QRegularExpression name(QStringLiteral("(?<![\\w-])(--?[A-Za-z][\\w-]*)"));
    QStringList names;
    for (const QRegularExpressionMatch &match : name.globalMatch(text))
        names << match.captured(1);
    std::sort(names.begin(), names.end());
    names.removeDuplicates();
    return names.join(u' ');
}

// The option lines of --help: two blanks, then the names and value up to the next two blanks.
QStringList helpOptions(const QString &helpText)
{
    static const QRegularExpression line(QStringLiteral("^  (-\\S.*?)(?:\\s{2,}|$)"));
    QStringList keys;
    for (const QString &text : helpText.split(u'\n'))
        if (const QRegularExpressionMatch match = line.match(text); match.hasMatch())
            keys << optionKey(match.captured(1));
    return keys;
}

// The roff source with its escapes for minus and fonts taken out.
QString plainRoff(QString line)
{
    static const QRegularExpression font(QStringLiteral("\\\\f[A-Z]"));
    return line.replace(QLatin1String("\\-"), QLatin1String("-")).remove(font).remove(u'"');
}

// The tags (the lines after .TP) of a manual page section.
QStringList manSectionTags(const QStringList &lines, const QString &section)
{
    QStringList tags;
    bool inSection = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].startsWith(QLatin1String(".SH "))) {
            inSection = lines[i].mid(4).remove(u'"').trimmed() == section;
            continue;
        }
        if (inSection && lines[i].startsWith(QLatin1String(".TP")) && i + 1 < lines.size())
            tags << plainRoff(lines[i + 1]);
    }
    return tags;
}

// The first cells of the table rows in a Markdown section whose heading is `heading`.
QStringList markdownFirstCells(const QStringList &lines, const QString &heading)
{
    static const QRegularExpression headingLine(QStringLiteral("^#{1,6}\\s+(.*?)\\s*$"));
    static const QRegularExpression ruleRow(QStringLiteral("^\\|[\\s:|-]+$"));
    QStringList cells;
    bool inSection = false;
    bool headerSeen = false;
    for (const QString &line : lines) {
        if (const QRegularExpressionMatch match = headingLine.match(line); match.hasMatch()) {
            inSection = match.captured(1).compare(heading, Qt::CaseInsensitive) == 0;
            headerSeen = false;
            continue;
        }
        if (!inSection || !line.startsWith(u'|')) continue;
        if (ruleRow.match(line).hasMatch()) {
            headerSeen = true; // the rows before the rule are the table's header
            continue;
        }
        if (headerSeen) cells << line.section(u'|', 1, 1).trimmed();
    }
    return cells;
}

QStringList statusNumbers(const QStringList &cells)
{
    static const QRegularExpression number(QStringLiteral("^\\.?[A-Z]*\\s*`?(\\d+)`?$"));
    QStringList numbers;
    for (const QString &cell : cells)
        if (const QRegularExpressionMatch match = number.match(cell.trimmed()); match.hasMatch())
            numbers << match.captured(1);
    numbers.sort();
    return numbers;
}

QStringList docsPages()
{
    QStringList pages;
    const QDir docs(sourcePath(QStringLiteral("docs")));
    for (const QString &name : docs.entryList({QStringLiteral("*.md")}, QDir::Files, QDir::Name))
        pages << QStringLiteral("docs/") + name;
    return pages;
}

} // namespace

class tst_optionlists : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sameOptionsEverywhere_data();
    void sameOptionsEverywhere();
    void sameExitStatuses_data();
    void sameExitStatuses();

private:
    std::map<QString, QStringList> m_options; // source -> option keys
};

void tst_optionlists::initTestCase()
{
    QProcess program;
    program.start(qEnvironmentVariable("QUORVEL_BINARY"), {QStringLiteral("--help")});
    QVERIFY2(program.waitForFinished(60000), qPrintable(program.errorString()));
    QCOMPARE(program.exitCode(), 0);
    m_options[QStringLiteral("--help")] = helpOptions(QString::fromLocal8Bit(program.readAll()));

    QStringList man;
    for (const QString &tag : manSectionTags(
             readLines(sourcePath(QStringLiteral("share/quorvel.1"))), QStringLiteral("OPTIONS")))
        man << optionKey(tag);
    m_options[QStringLiteral("share/quorvel.1")] = man;

    QStringList docs;
    for (const QString &cell :
         markdownFirstCells(readLines(sourcePath(QStringLiteral("docs/command-line.md"))),
                            QStringLiteral("Options")))
        docs << optionKey(cell);
    m_options[QStringLiteral("docs/command-line.md")] = docs;

    // A source whose list was not found at all would agree with nothing to compare.
    for (const auto &[source, keys] : m_options)
        QVERIFY2(keys.contains(QStringLiteral("--help -h")) && !keys.contains(QString()),
                 qPrintable(source + QStringLiteral(" lists: ") + keys.join(QLatin1String(", "))));
}

void tst_optionlists::sameOptionsEverywhere_data()
{
    QTest::addColumn<QString>("option");
    QStringList all;
    for (const auto &[source, keys] : m_options)
        all << keys;
    all.removeDuplicates();
    all.sort();
    for (const QString &option : all)
        QTest::newRow(qPrintable(option)) << option;
}

void tst_optionlists::sameOptionsEverywhere()
{
    QFETCH(QString, option);
    QStringList missing;
    for (const auto &[source, keys] : m_options)
        if (keys.count(option) != 1) missing << source;
    QVERIFY2(missing.isEmpty(), qPrintable(option + QStringLiteral(" is not listed once in: ") +
                                           missing.join(QLatin1String(", "))));
}

void tst_optionlists::sameExitStatuses_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QStringList>("statuses");
    QTest::newRow("docs/command-line.md")
        << QStringLiteral("docs/command-line.md")
        << statusNumbers(
               markdownFirstCells(readLines(sourcePath(QStringLiteral("docs/command-line.md"))),
                                  QStringLiteral("Exit status")));
    // Any other page that tabulates the exit statuses must tabulate all of them.
    for (const QString &page : docsPages()) {
        if (page == QLatin1String("docs/command-line.md")) continue;
        const QStringList cells =
            markdownFirstCells(readLines(sourcePath(page)), QStringLiteral("Exit status"));
        if (!cells.isEmpty()) QTest::newRow(qPrintable(page)) << page << statusNumbers(cells);
    }
}

void tst_optionlists::sameExitStatuses()
{
    QFETCH(QStringList, statuses);
    const QStringList man = statusNumbers(manSectionTags(
        readLines(sourcePath(QStringLiteral("share/quorvel.1"))), QStringLiteral("EXIT STATUS")));
    QVERIFY2(man.contains(QStringLiteral("0")), qPrintable(man.join(u' ')));
    QCOMPARE(statuses, man);
}

QTEST_GUILESS_MAIN(tst_optionlists)
#include "tst_optionlists.moc"
