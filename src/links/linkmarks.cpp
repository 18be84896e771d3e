#include "links/linkmarks.h"

#include "links/truth.h"

namespace links
{

namespace
{

bool validLink(int link)
{
    return link >= 0 && link < LinkMarks::LinkCount;
}

} // namespace

void LinkMarks::readSaved(int link, const QString &sconText)
{
    if (!validLink(link)) return;
    // The saved text says whether the link may be left alone, the mark whether to dial it.
    const std::optional<bool> leftAlone = textToTruth(sconText);
    m_marked[size_t(link)] = leftAlone ? std::optional<bool>(!*leftAlone) : std::nullopt;
}

void LinkMarks::setByOperator(int link, bool marked)
{
    if (validLink(link)) m_marked[size_t(link)] = marked;
}

std::optional<bool> LinkMarks::marked(int link) const
{
    if (!validLink(link)) return false;
    return m_marked[size_t(link)];
}

bool LinkMarks::oughtToConnect(int link) const
{
    return marked(link).value_or(true);
}

QString LinkMarks::savedText(int link) const
{
    return oughtToConnect(link) ? QStringLiteral("False") : QStringLiteral("True");
}

} // namespace links
