#include "app/optionip.h"

void OptionIP::cmdRead_Click() {}
void OptionIP::Winsock1_DataArrival(int index, qint64 bytesTotal)
{
    Q_UNUSED(index);
    Q_UNUSED(bytesTotal);
}
void OptionIP::cmdConnectDev_Click() {}
void OptionIP::Timer3_Timer() {}
void OptionIP::Timer4_Timer() {}
void OptionIP::endOfSlot() {}
