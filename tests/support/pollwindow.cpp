#include "support/pollwindow.h"

#include "app/optionip.h"
#include "app/ui.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTableWidget>

void shapeForPolling(OptionIP &w)
{
    w.tabel->setRowCount(30);
    w.tabel->setColumnCount(30);
    for (QLineEdit *host : w.txtIP)
        host->clear();
    w.slotIdx = 4;
}

void setSlot(OptionIP &w, int slot, int link, const QString &start, const QString &count)
{
    w.LstIP.at(size_t(slot))->setCurrentIndex(link);
    w.strReg.at(size_t(slot))->setText(start);
    w.LegReg.at(size_t(slot))->setText(count);
}

int greenSlots(const OptionIP &w)
{
    int green = 0;
    for (const QLineEdit *box : w.strReg)
        green += ui::backColor(box) == ui::green() ? 1 : 0;
    return green;
}

bool resting(const OptionIP &w)
{
    return w.slotIdx == 4 && greenSlots(w) == 0 && !w.Timer4->isActive();
}
