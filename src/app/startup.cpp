#include "app/optionip.h"

#include "app/gridlabels.h"
#include "app/ui.h"
#include "files/wholefile.h"
#include "modbus/frames.h"
#include "settings/module1.h"
#include "snapshot/snapshot.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QLocale>
#include <QProgressBar>
#include <QTableWidget>

namespace
{

constexpr int GridRows = 30;
constexpr int GridCols = 30;
constexpr int HeaderColumnWidth = 400; // twips
constexpr int RowHeight = 300;         // twips
constexpr int ColumnWidth = 800;       // twips
constexpr int LastWideColumn = 19;

} // namespace

void OptionIP::Form_Load()
{
    slotIdx = 4;

    tabel->setRowCount(GridRows);
    tabel->setColumnCount(GridCols);
    tabel->setColumnWidth(0, ui::twipsToPixels(HeaderColumnWidth));
    const int rowHeight = ui::twipsToPixels(RowHeight);
    tabel->verticalHeader()->setMinimumSectionSize(rowHeight);
    tabel->verticalHeader()->setDefaultSectionSize(rowHeight);
    for (int r = 0; r < tabel->rowCount(); ++r)
        tabel->setRowHeight(r, rowHeight);

    // Saves killed half-way last time may have left their temporaries behind.
    files::removeSaveLeftovers(Module1::setting_path(appDir()));
    files::removeSaveLeftovers(appDir() + snapshot::fileCaption());
    loadSettings();

    for (int c = 1; c <= LastWideColumn && c < tabel->columnCount(); ++c)
        tabel->setColumnWidth(c, ui::twipsToPixels(ColumnWidth));

    // Cells of the fixed row and column are created with the header colour.
    for (int c = 0; c < tabel->columnCount(); ++c)
        if (!tabel->item(0, c)) setCellText(0, c, QString());
    for (int r = 1; r < tabel->rowCount(); ++r)
        if (!tabel->item(r, 0)) setCellText(r, 0, QString());

    for (int s = 0; s < SlotCount; ++s)
        writeRegisterLabels(s);

    ui::enableTimer(tloading);
    bar[0]->show();
}

void OptionIP::strReg_Change(int index)
{
    writeRegisterLabels(index);
    slotTextsChanged(index);
}

void OptionIP::LegReg_Change(int index)
{
    writeRegisterLabels(index);
    slotTextsChanged(index);
}

void OptionIP::writeRegisterLabels(int slot)
{
    if (slot < 0 || slot >= SlotCount) return;
    const QStringList labels =
        gridlabels::registerLabels(strReg[size_t(slot)]->text(), LegReg[size_t(slot)]->text(),
                                   QLocale(), valueformat::wordsPerValue(slotFormat(slot)));
    const int column = 2 * slot + 1;
    // The whole column is rewritten, so a shorter count leaves no stale labels below.
    for (int row = 1; row <= frames::LastRow; ++row) {
        const QString text = labels.value(row - 1);
        if (!text.isEmpty() || !cellText(row, column).isEmpty()) setCellText(row, column, text);
    }
}

void OptionIP::Form_Unload(int &cancel)
{
    // The window always closes: cancel is left as the caller gave it.
    Q_UNUSED(cancel);
    save();
}
