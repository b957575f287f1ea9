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

class DeviceOutcomeProbe {
 public:
  // Reads the device's build before the update (one attempt).
  DeviceOutcomeProbe(Updater& updater, const Parameters& params);

  // Once the update returned: the build after (waiting for a rebooting module to come back) and
  // the state it is left in; the result sent through the report channel.
  DeviceOutcome Conclude(bool updated);

 private:
  Updater& updater_;
  const Parameters& params_;
  DeviceOutcome outcome_;
  linkSpec reachedAt_{};
};

void SendDeviceOutcome(const DeviceOutcome& outcome);
