#pragma once
#include "Parameters.h"
#include "UpdaterDisplayInterface.h"
#include "engine/Updater.h"

// -C: checks the bird file named with -f, or else every bird file of the device named with -d in
// the store, as -U would before writing (against the connected device when -d names one).
// Returns the exit status: 0 when every file checked is sound; 0 as well when neither -f nor -d
// names anything to check.
int RunCheckCommand(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params);
