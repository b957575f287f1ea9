#pragma once
#include <cstdint>

#include "Parameters.h"
#include "UpdaterDisplayInterface.h"

// Parses the command line into params; messages go to the display. Returns 0 when the command line
// is acceptable, 1 otherwise. Reorders argv: words that are not options end up behind the options.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params);

// Cross-option checks; there are none. Returns 0.
int _validate_params(Parameters* params);

// Converts text made only of hexadecimal (respectively decimal) digits and stores the end position
// in *end. Returns 0 and leaves *end untouched for any other character, for a value that does not
// fit in 32 bits, or when end is null. An empty text converts to 0.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);
