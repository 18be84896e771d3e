#include "app/optionip.h"

#include "app/ui.h"
#include "modbus/frames.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QLocale>
#include <QProgressBar>
#include <QTableWidget>
#include <cmath>
#include <optional>

namespace
{

constexpr int GridRows = 30;
constexpr int GridCols = 30;
constexpr int HeaderColumnWidth = 400; // twips
constexpr int MinRowHeight = 300;      // twips
constexpr int ColumnWidth = 800;       // twips
constexpr int LastWideColumn = 19;

// Shortest decimal form in the locale's notation; whole numbers below 10^15 keep plain
// digits, so a large register number never turns into an exponent form.
QString numberText(double value)
{
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    if (std::abs(value) < 1e15 && value == std::trunc(value)) return locale.toString(qint64(value));
    return locale.toString(value, 'g', QLocale::FloatingPointShortest);
}

} // namespace

void OptionIP::Form_Load()
{
    slotIdx = 4;

    tabel->setRowCount(GridRows);
    tabel->setColumnCount(GridCols);
    tabel->setColumnWidth(0, ui::twipsToPixels(HeaderColumnWidth));
    const int minRow = ui::twipsToPixels(MinRowHeight);
    tabel->verticalHeader()->setMinimumSectionSize(minRow);
    for (int r = 0; r < tabel->rowCount(); ++r)
        if (tabel->rowHeight(r) < minRow) tabel->setRowHeight(r, minRow);

    loadSettings();

    for (int c = 1; c <= LastWideColumn && c < tabel->columnCount(); ++c)
        tabel->setColumnWidth(c, ui::twipsToPixels(ColumnWidth));

    // Cells of the fixed row and column are created with the header colour.
    for (int c = 0; c < tabel->columnCount(); ++c)
        if (!tabel->item(0, c)) setCellText(0, c, QString());
    for (int r = 1; r < tabel->rowCount(); ++r)
        if (!tabel->item(r, 0)) setCellText(r, 0, QString());

    for (int s = 0; s < SlotCount; ++s) {
        const std::optional<double> count = frames::readLocaleNumber(LegReg[size_t(s)]->text());
        const std::optional<double> start = frames::readLocaleNumber(strReg[size_t(s)]->text());
        // A count or a start that is not a number gives the slot no labels.
        if (!count || !start) continue;
        // Only rows 1 to 29 can hold a label, so a huge count stops there.
        for (int j = 0; j <= *count - 1 && j + 1 <= frames::LastRow; ++j)
            setCellText(j + 1, 2 * s + 1, numberText(*start + j) + QStringLiteral(">>"));
    }

    ui::enableTimer(tloading);
    bar[0]->show();
}

void OptionIP::Form_Unload(int &cancel)
{
    // The window always closes: cancel is left as the caller gave it.
    Q_UNUSED(cancel);
    save();
}
