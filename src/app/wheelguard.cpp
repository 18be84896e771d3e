#include "app/wheelguard.h"

#include <QEvent>
#include <QWidget>

void WheelNeedsFocus::guard(QWidget *control)
{
    if (!control) return;
    control->setFocusPolicy(Qt::StrongFocus);
    control->installEventFilter(this);
}

bool WheelNeedsFocus::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::Wheel) return false;
    const auto *control = qobject_cast<const QWidget *>(watched);
    if (!control || control->hasFocus()) return false;
    // Ignored and kept from the control: the application hands it to the parent.
    event->ignore();
    return true;
}
