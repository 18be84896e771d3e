#pragma once

#include <QString>
#include <array>
#include <optional>

namespace links
{

// Whether each device link ought to be connected: one mark per link. The "Scon" text saved at
// the last close sets it at start-up; after that only the operator's Connect and DisConect
// clicks change it. The connection sequence's own resets leave it alone, so a close at any
// moment saves what the operator last asked for.
class LinkMarks
{
public:
    static constexpr int LinkCount = 3;

    // "False" (or a number equal to 0) marks the link, "True" (or another number) does not;
    // any other text leaves the mark unreadable.
    void readSaved(int link, const QString &sconText);
    // The operator's Connect click marks the link, the DisConect click unmarks it.
    void setByOperator(int link, bool marked);

    // Empty while the saved text did not convert and the operator has not chosen since: the
    // sequence then dials the link whatever its state, as it does after any failed test.
    std::optional<bool> marked(int link) const;
    // An unreadable mark counts as set, since the sequence dials such a link.
    bool oughtToConnect(int link) const;
    // The "Scon" text that brings the mark back at the next start.
    QString savedText(int link) const;

private:
    // A link that no settings name is left alone.
    std::array<std::optional<bool>, LinkCount> m_marked{{false, false, false}};
};

} // namespace links
