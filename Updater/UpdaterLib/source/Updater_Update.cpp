// Placeholder until the firmware update is built: reports that it cannot run.
#include "Updater.h"

bool Updater::Update_Firmware(unsigned int, unsigned int, std::string, unsigned char, unsigned int, bool) {
  reportUnavailable("Firmware update");
  return false;
}
