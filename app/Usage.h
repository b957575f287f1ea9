#pragma once
#include <string>

#include "UpdaterDisplayInterface.h"

// Information lines of the banner.
void _display_app_version(UpdaterDisplayInterface& display);
void _display_hy_version(UpdaterDisplayInterface& display);
void _display_copyright(UpdaterDisplayInterface& display);

// Writes the usage text to standard error: the short block always, the command blocks when full,
// the extended block when both full and extended.
void _display_usage(bool extended, bool full);

// The text _display_usage writes.
std::string UsageText(bool extended, bool full);
