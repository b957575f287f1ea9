// Placeholder until build retrieval is built: reports that it cannot run.
#include "CLI_Display.h"
#include "Updater.h"

int Updater::Download_Firmware(unsigned int, std::string, bool, bool) {
  reportUnavailable("Firmware download");
  return 0;
}

int Updater::Download_Firmware(Fingerprint, std::string, bool) {
  reportUnavailable("Firmware download");
  return 0;
}

std::map<std::string, std::string> Updater::Get_BuildList(unsigned int) {
  reportUnavailable("Build listing");
  return {};
}

void _display_builds(CLI_Display&, const std::map<std::string, std::string>&, unsigned int) {}
