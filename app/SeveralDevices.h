#pragma once

#include "Parameters.h"
#include "UpdaterDisplayInterface.h"
#include "engine/Updater.h"

// -U and -G for more than one device (-d A,B,... or -d all): every device runs in a process of its
// own, this program started again with the device's single-device command line, a bounded number
// at a time; their lines are shown prefixed with the serial number, and the run ends with one
// table of every device. Returns the exit status: 0 only when every device succeeded.
int RunSeveralDevices(UpdaterDisplayInterface& display, const Parameters& params, Updater& updater, int argc,
                      char** argv);
