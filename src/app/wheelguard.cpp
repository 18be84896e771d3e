#include "app/wheelguard.h"

#include <QEvent>
#include <QPalette>
#include <QWidget>

void WheelNeedsFocus::guard(QWidget *control)
{
    if (!control) return;
    control->setFocusPolicy(Qt::StrongFocus);
    control->installEventFilter(this);
}

bool WheelNeedsFocus::eventFilter(QObject *watched, QEvent *event)
{
    auto *control = qobject_cast<QWidget *>(watched);
    if (!control) return false;
    if (event->type() == QEvent::FocusIn) {
        QPalette marked = control->palette();
        marked.setColor(QPalette::Button, marked.color(QPalette::Highlight).lighter(170));
        control->setPalette(marked);
        return false;
    }
    if (event->type() == QEvent::FocusOut) {
        // A palette that sets nothing hands every colour back to the parent's.
        control->setPalette(QPalette());
        return false;
    }
    if (event->type() != QEvent::Wheel || control->hasFocus()) return false;
    // Ignored and kept from the control: the application hands it to the parent.
    event->ignore();
    return true;
}
