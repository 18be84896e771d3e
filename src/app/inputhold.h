#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <utility>

// Keeps keys, Tab, the wheel and clicks off a set of controls while a leading control is
// disabled: the slots take input when the device frames do, so nothing typed or turned
// during start-up re-points a slot before its first read.
class InputHold : public QObject
{
public:
    InputHold(QWidget *leader, QObject *parent);

    // Holds the control while the leader is disabled; its focus policy is given back after.
    void hold(QWidget *control);
    bool holding() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void follow();

    QPointer<QWidget> m_leader;
    QList<std::pair<QPointer<QWidget>, Qt::FocusPolicy>> m_controls;
};
