// Placeholder until discovery of modules is built: reports that it cannot run.
#include "CLI_Display.h"
#include "Updater.h"

std::vector<DeviceInfo> Updater::Discover_Devices(linkType) {
  reportUnavailable("Device discovery");
  return {};
}

std::vector<DeviceInfo> Updater::Discover_HyNetwork_Devices(unsigned int, linkType) {
  reportUnavailable("Device network discovery");
  return {};
}

void _display_device_list(CLI_Display&, const std::vector<DeviceInfo>&, linkType) {}
