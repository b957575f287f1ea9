#pragma once
#include <map>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "UpdaterDisplayInterface.h"
#include "aDefs.h"

class CLI_Display;

// The update engine: every command of the front end works through one Updater.
class Updater {
 public:
  Updater(const char* serverUrl, const char* updaterDirectory, UpdaterDisplayInterface& display);
  ~Updater() = default;
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // Discovery (-D).
  std::vector<DeviceInfo> Discover_Devices(linkType type);
  std::vector<DeviceInfo> Discover_HyNetwork_Devices(unsigned int routerSerialNumber, linkType type);

  // Firmware update (-U).
  [[nodiscard]] bool Update_Firmware(unsigned int serial, unsigned int build, std::string birdFile,
                                     unsigned char moduleAddress, unsigned int routerSerial, bool override);

  // Build retrieval (-G, -B).
  int Download_Firmware(unsigned int serial, std::string build, bool override, bool no_cal);
  int Download_Firmware(Fingerprint fingerprint, std::string build, bool override);
  std::map<std::string, std::string> Get_BuildList(unsigned int serial);
  std::map<std::string, std::string> Get_BuildListLocal(unsigned int serial);

  // Serial recovery (-U -t RECOVER, -N).
  [[nodiscard]] bool Recover_Firmware(std::string port, unsigned int build, unsigned int baud, unsigned int serial,
                                      std::string birdFile, bool override);
  [[nodiscard]] bool Get_Fingerprint(Fingerprint& fingerprint, std::string port, unsigned int serial,
                                     std::string birdFile, unsigned int baud, bool reset);

  enum class RecoveryChip { None, LPC, IMX };

 private:
  std::string serverUrl;
  std::string updaterDirectory;
  UpdaterDisplayInterface& display;
  RecoveryChip recoveryChip = RecoveryChip::None;

  void reportUnavailable(const char* command);
};

void _display_device_list(CLI_Display& display, const std::vector<DeviceInfo>& list, linkType type);
// Whether build is in the server's build list of the device.
[[nodiscard]] bool _valid_build(unsigned int serial, unsigned int build, const char* url);
void _display_builds(CLI_Display& display, const std::map<std::string, std::string>& builds, unsigned int serial);
void _display_fingerprint(CLI_Display& display, const Fingerprint& fingerprint);
