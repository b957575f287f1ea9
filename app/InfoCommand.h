#pragma once
#include <vector>

#include "UpdaterDisplayInterface.h"
#include "engine/DeviceInfo.h"
#include "engine/Updater.h"
#include "support/Json.h"

// -I -d: shows what the store keeps on the device (directory, settings, stored builds), and puts
// its record in the --json document's "stored". Returns the exit status: 1 when the store does not
// know the device or cannot read its settings.
int RunInfoCommand(UpdaterDisplayInterface& display, Updater& updater, unsigned int serial);

// -I -D: the same for every discovered device; a device the store does not know gets one line.
// Returns the record of each device of the list, in its order (null for one the store does not know).
std::vector<Json::Value> ShowStoredDevices(UpdaterDisplayInterface& display, Updater& updater,
                                           const std::vector<DeviceInfo>& list);
