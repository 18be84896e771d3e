#include "app/optionip.h"

void OptionIP::print_click() {}
