#include "snapshot/shownvalues.h"

#include <QSet>

namespace snapshot
{

namespace
{

constexpr int LastRow = 29;
const QString UnreadMark = QStringLiteral("???");
const QString LabelMark = QStringLiteral(">>");

} // namespace

std::vector<ShownValue> shownValues(const CellReader &cell,
                                    const std::array<SlotView, ValueColumns.size()> &views)
{
    std::vector<ShownValue> values;
    QSet<QString> names;
    for (size_t s = 0; s < views.size(); ++s) {
        if (!views[s].link) continue;
        const int valueColumn = ValueColumns[s];
        for (int row = 1; row <= LastRow; ++row) {
            QString label = cell(row, valueColumn - 1).value_or(QString());
            if (label.isEmpty()) continue;
            if (label.endsWith(LabelMark)) label.chop(LabelMark.size());
            ShownValue v;
            v.slot = int(s);
            v.row = row;
            v.link = *views[s].link;
            v.reg = label;
            v.text = cell(row, valueColumn).value_or(QString());
            v.current = !views[s].failed && !v.text.isEmpty() && v.text != UnreadMark;
            v.unit = views[s].unit;
            v.object = valueformat::namePrefix(views[s].object);
            v.bit = valueformat::readsBits(views[s].object);
            QString name = v.name();
            if (names.contains(name)) {
                v.twin = u'~' + QString::number(s);
                name = v.name();
            }
            names.insert(name);
            values.push_back(v);
        }
    }
    return values;
}

void ReadsSince::slotRead(int slot)
{
    if (slot >= 0 && size_t(slot) < m_read.size()) m_read[size_t(slot)] = true;
}

std::vector<ShownValue> ReadsSince::take(std::vector<ShownValue> values)
{
    for (ShownValue &value : values)
        if (value.slot < 0 || size_t(value.slot) >= m_read.size() || !m_read[size_t(value.slot)])
            value.current = false;
    m_read.fill(false);
    return values;
}

} // namespace snapshot
