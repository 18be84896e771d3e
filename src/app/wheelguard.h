#pragma once

#include <QObject>

class QWidget;

// Lets the mouse wheel change a control only while that control has the keyboard focus, so
// a wheel turned over a device list on the way to somewhere else does not re-point a slot.
// The wheel then goes on to the control's parent, as over any passive control. A guarded
// control shows plainly when it has the focus, whatever the style draws by itself, so the
// operator can tell which list the wheel and the arrow keys would change.
class WheelNeedsFocus : public QObject
{
public:
    using QObject::QObject;

    // Guards the control, and stops it taking the focus from the wheel itself.
    void guard(QWidget *control);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};
