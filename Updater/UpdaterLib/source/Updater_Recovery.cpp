// Placeholder until serial recovery is built: reports that it cannot run.
#include "CLI_Display.h"
#include "Updater.h"

bool Updater::Recover_Firmware(std::string, unsigned int, unsigned int, unsigned int, std::string, bool) {
  reportUnavailable("Serial recovery");
  return false;
}

bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned int, std::string, unsigned int, bool) {
  reportUnavailable("Chip identification");
  return false;
}

void _display_fingerprint(CLI_Display&, const Fingerprint&) {}
