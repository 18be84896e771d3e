// Every relative link in README.md and docs/*.md leads somewhere: the file exists and the
// #anchor, where one is given, is a heading of that page as GitHub names it.
#include "support/files.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtTest>

namespace
{

QString sourceDir()
{
    return QDir::cleanPath(qEnvironmentVariable("QUORVEL_SOURCE_DIR"));
}

QStringList pages()
{
    QStringList result{QStringLiteral("README.md")};
    const QDir docs(sourceDir() + QStringLiteral("/docs"));
    for (const QString &name : docs.entryList({QStringLiteral("*.md")}, QDir::Files, QDir::Name))
        result << QStringLiteral("docs/") + name;
    return result;
}

// The lines outside fenced code blocks, where headings and links are Markdown.
QStringList proseLines(const QStringList &lines)
{
    static const QRegularExpression fence(QStringLiteral("^\\s*(```|~~~)"));
    QStringList prose;
    bool inFence = false;
    for (const QString &line : lines) {
        if (fence.match(line).hasMatch()) {
            inFence = !inFence;
            continue;
        }
        if (!inFence) prose << line;
    }
    return prose;
}

QString withoutCodeSpans(QString line)
{
    static const QRegularExpression code(QStringLiteral("`[^`]*`"));
    return line.remove(code);
}

// A heading's anchor as GitHub makes it: the text as shown, lower case, punctuation dropped,
// blanks turned into hyphens.
QString githubSlug(QString heading)
{
    static const QRegularExpression link(QStringLiteral("!?\\[([^\\]]*)\\]\\([^)]*\\)"));
    static const QRegularExpression tag(QStringLiteral("<[^>]*>"));
    heading.replace(link, QStringLiteral("\\1")).remove(tag).remove(u'`').remove(u'*');
    QString slug;
    for (const QChar c : heading.trimmed().toLower()) {
        if (c == u' ')
            slug += u'-';
        else if (c.isLetterOrNumber() || c.isMark() || c == u'_' || c == u'-')
            slug += c;
    }
    return slug;
}

QStringList anchors(const QString &page)
{
    static const QRegularExpression headingLine(QStringLiteral("^#{1,6}\\s+(.*?)\\s*#*\\s*$"));
    QStringList result;
    QHash<QString, int> seen;
    for (const QString &line : proseLines(readLines(sourceDir() + u'/' + page))) {
        const QRegularExpressionMatch match = headingLine.match(line);
        if (!match.hasMatch()) continue;
        const QString slug = githubSlug(match.captured(1));
        const int times = seen[slug]++;
        result << (times == 0 ? slug : slug + u'-' + QString::number(times));
    }
    return result;
}

} // namespace

class tst_doclinks : public QObject
{
    Q_OBJECT

private slots:
    void linkLeadsSomewhere_data();
    void linkLeadsSomewhere();
    void everyPageReachableFromReadme_data();
    void everyPageReachableFromReadme();
};

void tst_doclinks::linkLeadsSomewhere_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("target");
    static const QRegularExpression link(
        QStringLiteral("!?\\[[^\\]]*\\]\\(\\s*<?([^)\\s>]+)>?(?:\\s+\"[^\"]*\")?\\s*\\)"));
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:"));
    int count = 0;
    for (const QString &page : pages()) {
        for (const QString &line : proseLines(readLines(sourceDir() + u'/' + page))) {
            for (const QRegularExpressionMatch &match : link.globalMatch(withoutCodeSpans(line))) {
                const QString target = match.captured(1);
                if (scheme.match(target).hasMatch()) continue; // https:, mailto:, man:
                QTest::addRow("%s -> %s", qPrintable(page), qPrintable(target)) << page << target;
                ++count;
            }
        }
    }
    // Not a test of the links but of their finding: a reader that found none would pass.
    QVERIFY2(count >= pages().size(), "too few links found");
}

void tst_doclinks::linkLeadsSomewhere()
{
    QFETCH(QString, page);
    QFETCH(QString, target);
    const qsizetype hash = target.indexOf(u'#');
    const QString file = hash < 0 ? target : target.left(hash);
    const QString anchor = hash < 0 ? QString() : target.mid(hash + 1);
    const QString pageDir = QFileInfo(sourceDir() + u'/' + page).absolutePath();
    const QString resolved =
        file.isEmpty() ? sourceDir() + u'/' + page : QDir::cleanPath(pageDir + u'/' + file);
    QVERIFY2(resolved.startsWith(sourceDir() + u'/'),
             qPrintable(target + QStringLiteral(" leads out of the repository")));
    QVERIFY2(QFileInfo::exists(resolved), qPrintable(resolved + QStringLiteral(" does not exist")));
    if (anchor.isEmpty()) return;
    QVERIFY2(resolved.endsWith(QLatin1String(".md")),
             qPrintable(QStringLiteral("an anchor into a file that is no Markdown page")));
    const QString relative = QDir(sourceDir()).relativeFilePath(resolved);
    const QStringList known = anchors(relative);
    QVERIFY2(known.contains(anchor),
             qPrintable(QStringLiteral("%1 has no heading #%2; it has: %3")
                            .arg(relative, anchor, known.join(QLatin1String(", ")))));
}

// Every page is one link from the README, so a reader finds anything within two.
void tst_doclinks::everyPageReachableFromReadme_data()
{
    QTest::addColumn<QString>("page");
    for (const QString &page : pages())
        if (page != QLatin1String("README.md")) QTest::newRow(qPrintable(page)) << page;
}

void tst_doclinks::everyPageReachableFromReadme()
{
    QFETCH(QString, page);
    const QString readme =
        proseLines(readLines(sourceDir() + QStringLiteral("/README.md"))).join(u'\n');
    QVERIFY2(readme.contains(u'(' + page + u')') || readme.contains(u'(' + page + u'#'),
             qPrintable(page + QStringLiteral(" is not linked from README.md")));
}

QTEST_GUILESS_MAIN(tst_doclinks)
#include "tst_doclinks.moc"
