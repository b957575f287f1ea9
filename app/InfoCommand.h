#pragma once
#include <vector>

#include "UpdaterDisplayInterface.h"
#include "engine/Updater.h"

// -I -d: shows what the store keeps on the device (directory, settings, stored builds). Returns
// the exit status: 1 when the store does not know the device.
int RunInfoCommand(UpdaterDisplayInterface& display, Updater& updater, unsigned int serial);

// -I -D: the same for every discovered device; a device the store does not know gets one line.
void ShowStoredDevices(UpdaterDisplayInterface& display, Updater& updater, const std::vector<DeviceInfo>& list);
