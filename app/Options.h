#pragma once
#include "SimpleOpt.h"

// Row ids of the option table.
enum OptionId { OPT_HELP = 0, OPT_COMMAND = 1, OPT_PARAMETER = 2, OPT_JSON = 3 };

// The option table of the command line, ended by a row with id -1.
extern const SOption g_rgOptions[];
