#include "app/optionip.h"

void OptionIP::Form_Load() {}

void OptionIP::Form_Unload(int &cancel)
{
    Q_UNUSED(cancel);
}
