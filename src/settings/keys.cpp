#include "app/optionip.h"

void OptionIP::loadSettings() {}

void OptionIP::save() {}
