#pragma once
#include <cstdint>
#include <string>

#include "Parameters.h"
#include "engine/Updater.h"

// What one device's process of a run over several devices tells its starter about the update it
// ran: the build before and after, whether it succeeded, the cause of a failure and the state the
// device is left in. Sent through the report channel; nothing is printed.
struct DeviceOutcome {
  bool beforeKnown = false;
  uint32_t buildBefore = 0;
  bool afterKnown = false;
  uint32_t buildAfter = 0;
  bool succeeded = false;
  std::string cause;
  std::string state;
};

// The outcome of the update the engine just ran (updated: what it returned), from the engine's
// own record: the build it read when it connected, the build its outcome check read after the
// reboot, the failed step and its cause, the state it left the device in. Only an update that
// ended before it reached the device asks the device once for its build.
DeviceOutcome ConcludeDeviceOutcome(Updater& updater, const Parameters& params, bool updated);

void SendDeviceOutcome(const DeviceOutcome& outcome);
