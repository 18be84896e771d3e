#pragma once

#include <QtGlobal>
#include <array>
#include <optional>

// What each poll slot's reads came to, so the window can tell the values it shows from
// old ones. No widgets, no sockets: the window reports, then asks.
namespace frames
{

class SlotReads
{
public:
    static constexpr int SlotCount = 5;

    // The slot's device, start or count text changed: the registers it names are others now.
    // Requests built before are still answered on the wire but no longer fill its cells.
    void layoutChanged(int slot);
    // Tells requests built from the slot's present texts from older ones.
    quint32 layout(int slot) const;

    // A request for the slot went out on `link`. True when the slot's previous request is
    // still owed: it went unanswered for a whole cycle, and the slot's read has failed.
    bool sent(int slot, int link, quint16 transaction);
    // A reply to a request for the slot, built from layout `layout`, that did (registers) or
    // did not bring the registers asked for. True when the registers may fill its cells.
    bool answered(int slot, quint32 layout, int link, quint16 transaction, bool registers);
    // A request for the slot will get no answer that can be read: the slot's read failed.
    void unanswered(int slot, quint32 layout, int link, quint16 transaction);
    // The link's connection ended: what it owed will never come.
    void linkClosed(int link);

    // The slot's last read failed: what its cells hold is older than its last request.
    bool failed(int slot) const;

private:
    struct Owed {
        int link = -1;
        quint16 transaction = 0;
        bool operator==(const Owed &o) const
        {
            return link == o.link && transaction == o.transaction;
        }
    };
    struct Slot {
        quint32 layout = 0;
        std::optional<Owed> owed; // the last request sent, until it is answered
        bool failed = false;
    };
    Slot *at(int slot);

    std::array<Slot, SlotCount> m_slots{};
};

} // namespace frames
