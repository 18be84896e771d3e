#include "app/optionip.h"

void OptionIP::Timer1_Timer() {}
