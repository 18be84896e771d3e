#include "app/ui.h"

#include <QApplication>
#include <QLineEdit>
#include <QPalette>
#include <QTimer>
#include <QWidget>

namespace ui
{

QColor fromBgr(quint32 bgr)
{
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

QColor windowBackground()
{
    return QApplication::palette().color(QPalette::Base);
}

static QPalette::ColorRole backRole(const QWidget *widget)
{
    // Text boxes paint their background from Base, every other control from Window.
    return qobject_cast<const QLineEdit *>(widget) ? QPalette::Base : QPalette::Window;
}

void setBackColor(QWidget *widget, const QColor &color)
{
    if (!widget) return;
    QPalette palette = widget->palette();
    palette.setColor(backRole(widget), color);
    // A palette that setColor left shared already has the colour set: setPalette would only
    // work out the same palette again, which every poll step would pay for.
    if (palette.isCopyOf(widget->palette()) && widget->autoFillBackground()) return;
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

static QFont sansFont(int pointSize)
{
    // Families that the setup installs. Liberation Sans has the narrow metrics the layout
    // was drawn for ("65535>>" fits a grid column); DejaVu Sans is wider.
    QFont font(QStringList{QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")},
               pointSize);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

QFont windowFont()
{
    return sansFont(8);
}

QFont largeFont()
{
    return sansFont(18);
}

void keepTextWhenDisabled(QWidget *frame)
{
    if (!frame) return;
    QPalette palette = frame->palette();
    palette.setColor(QPalette::Disabled, QPalette::WindowText,
                     palette.color(QPalette::Active, QPalette::WindowText));
    frame->setPalette(palette);
}

QColor backColor(const QWidget *widget)
{
    return widget ? widget->palette().color(backRole(widget)) : QColor();
}

QRect twips(int left, int top, int width, int height)
{
    return QRect(twipsToPixels(left), twipsToPixels(top), twipsToPixels(width),
                 twipsToPixels(height));
}

void enableTimer(QTimer *timer)
{
    if (timer && !timer->isActive()) timer->start();
}

void disableTimer(QTimer *timer)
{
    if (timer) timer->stop();
}

} // namespace ui
