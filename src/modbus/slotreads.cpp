#include "modbus/slotreads.h"

namespace frames
{

SlotReads::Slot *SlotReads::at(int slot)
{
    return slot >= 0 && slot < SlotCount ? &m_slots[size_t(slot)] : nullptr;
}

void SlotReads::layoutChanged(int slot)
{
    if (Slot *s = at(slot)) {
        ++s->layout;
        s->owed.reset();
        s->failed = false;
    }
}

quint32 SlotReads::layout(int slot) const
{
    return slot >= 0 && slot < SlotCount ? m_slots[size_t(slot)].layout : 0;
}

bool SlotReads::sent(int slot, int link, quint16 transaction)
{
    Slot *s = at(slot);
    if (!s) return false;
    const bool stillOwed = s->owed.has_value();
    if (stillOwed) s->failed = true;
    s->owed = Owed{link, transaction};
    return stillOwed;
}

bool SlotReads::answered(int slot, quint32 layout, int link, quint16 transaction, bool registers)
{
    Slot *s = at(slot);
    if (!s || layout != s->layout) return false;
    if (s->owed == Owed{link, transaction}) s->owed.reset();
    s->failed = !registers;
    return registers;
}

void SlotReads::unanswered(int slot, quint32 layout, int link, quint16 transaction)
{
    Slot *s = at(slot);
    if (!s || layout != s->layout) return;
    if (s->owed == Owed{link, transaction}) s->owed.reset();
    s->failed = true;
}

void SlotReads::linkClosed(int link)
{
    for (Slot &s : m_slots) {
        if (s.owed && s.owed->link == link) s.owed.reset();
    }
}

bool SlotReads::failed(int slot) const
{
    return slot >= 0 && slot < SlotCount && m_slots[size_t(slot)].failed;
}

} // namespace frames
