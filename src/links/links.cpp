#include "app/optionip.h"

void OptionIP::cmdConnect_Click(int index)
{
    Q_UNUSED(index);
}
void OptionIP::cmdDisconnect_Click(int index)
{
    Q_UNUSED(index);
}
bool OptionIP::waitForState(int index, int wanted)
{
    Q_UNUSED(index);
    Q_UNUSED(wanted);
    return false;
}
void OptionIP::tloading_Timer() {}
void OptionIP::Timer2_Timer() {}
