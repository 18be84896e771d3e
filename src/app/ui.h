#pragma once

#include <QColor>
#include <QFont>
#include <QRect>
#include <QTimer>
#include <QWidget>

class QWidget;

// Small toolkit glue shared by the handlers: the colour values the window uses, twip
// geometry, and timers that are enabled the way the window's timers are.
namespace ui
{

// Colours are given as 0x00BBGGRR values.
QColor fromBgr(quint32 bgr);

inline QColor green()
{
    return fromBgr(0x0000FF00);
}
inline QColor yellow()
{
    return fromBgr(0x0000FFFF);
}
inline QColor red()
{
    return fromBgr(0x000000FF);
}
inline QColor lightRed()
{
    return fromBgr(0x008080FF);
}
// The system colour of a window background, which is what an unmarked text box shows.
QColor windowBackground();

void setBackColor(QWidget *widget, const QColor &color);

// The layout's twip sizes were drawn for a small 8-point sans font; Label6 uses about 18.
QFont windowFont();
QFont largeFont();

// Labels inside a disabled frame keep their normal text colour: the frame blocks input,
// but a pale status caption on its coloured background would be unreadable.
void keepTextWhenDisabled(QWidget *frame);
QColor backColor(const QWidget *widget);

// 15 twips make one logical pixel.
constexpr int TwipsPerPixel = 15;
QRect twips(int left, int top, int width, int height);
constexpr int twipsToPixels(int twips)
{
    return (twips + TwipsPerPixel / 2) / TwipsPerPixel;
}

// A control's own enabled setting, whatever its frame's: a button in a disabled frame is
// still "enabled" in this sense. Use it, not QWidget::isEnabled(), to read cmdConnect.
inline bool ownEnabled(const QWidget *widget)
{
    return widget && !widget->testAttribute(Qt::WA_ForceDisabled);
}

// Enabling a timer that is already enabled changes nothing; it does not restart it.
void enableTimer(QTimer *timer);
void disableTimer(QTimer *timer);
inline bool isEnabled(const QTimer *timer)
{
    return timer && timer->isActive();
}

} // namespace ui
