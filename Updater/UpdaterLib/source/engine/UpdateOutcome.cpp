#include "engine/UpdateOutcome.h"

#include <cstdio>

std::string UpdateOutcome_StateLine(unsigned int serial, UpdateOutcome::DeviceState state) {
  const char* format = nullptr;
  switch (state) {
    case UpdateOutcome::DeviceState::Unchanged:
      format = "Device %08X was left unchanged: nothing was written, it still runs its old firmware";
      break;
    case UpdateOutcome::DeviceState::InLoader:
      format = "Device %08X is left in its loader without complete firmware: run the same command again";
      break;
    case UpdateOutcome::DeviceState::NotBack:
      format = "Device %08X was rebooted but did not come back: recover it with -U -t RECOVER";
      break;
    case UpdateOutcome::DeviceState::FlashMayBeErased:
      format = "Device %08X may be left with erased firmware: recover it again with -U -t RECOVER";
      break;
    case UpdateOutcome::DeviceState::Unknown:
    case UpdateOutcome::DeviceState::Running:
      return std::string();
  }
  char line[160];
  snprintf(line, sizeof line, format, serial);
  return line;
}
