#include "app/inputhold.h"

#include <QEvent>

InputHold::InputHold(QWidget *leader, QObject *parent) : QObject(parent), m_leader(leader)
{
    if (m_leader) m_leader->installEventFilter(this);
}

void InputHold::hold(QWidget *control)
{
    if (!control) return;
    m_controls.append({control, control->focusPolicy()});
    control->installEventFilter(this);
    follow();
}

bool InputHold::holding() const
{
    return m_leader && !m_leader->isEnabled();
}

void InputHold::follow()
{
    const bool held = holding();
    for (const auto &[control, policy] : m_controls) {
        if (!control) continue;
        // No focus, so neither Tab nor a click can hand a held control the keyboard.
        control->setFocusPolicy(held ? Qt::NoFocus : policy);
        if (held && control->hasFocus()) control->clearFocus();
    }
}

bool InputHold::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_leader) {
        if (event->type() == QEvent::EnabledChange) follow();
        return false;
    }
    if (!holding()) return false;
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Wheel:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::ContextMenu:
        return true;
    default:
        return false;
    }
}
