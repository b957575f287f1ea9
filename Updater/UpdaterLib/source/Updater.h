#pragma once
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "BirdFileCheck.h"
#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "StoredDevice.h"
#include "UpdaterDisplayInterface.h"
#include "aDefs.h"
#include "aError.h"

class BirdFile;
class UpdaterStoreItem;
namespace Tessaron {
namespace Halyard {
class Module;
}
}  // namespace Tessaron

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
  // The bird file to install: birdFile when named, else the build's file in the device's store
  // directory (downloaded first when download is set). Throws std::runtime_error when none loads.
  BirdFile load_bird(const char* action, std::string birdFile, unsigned int serial, unsigned int build, bool download);

  // Build retrieval (-G, -B).
  [[nodiscard]] int Download_Firmware(unsigned int serial, std::string build, bool override, bool no_cal);
  [[nodiscard]] int Download_Firmware(Fingerprint fingerprint, std::string build, bool override);
  std::map<std::string, std::string> Get_BuildList(unsigned int serial);
  // The same, telling a failure (server not reached, or its answer an error) from an empty list.
  [[nodiscard]] bool Get_BuildList(unsigned int serial, std::map<std::string, std::string>& builds);
  std::map<std::string, std::string> Get_BuildListLocal(unsigned int serial);

  // Serial recovery (-U -t RECOVER, -N).
  [[nodiscard]] bool Recover_Firmware(std::string port, unsigned int build, unsigned int baud, unsigned int serial,
                                      std::string birdFile, bool override);
  [[nodiscard]] bool Get_Fingerprint(Fingerprint& fingerprint, std::string port, unsigned int serial,
                                     std::string birdFile, unsigned int baud, bool reset);

  // Stored device information and bird file checks (-I, -C).
  // What the store keeps on the device, read without changing the store; false when the store has
  // no directory for it.
  [[nodiscard]] bool Read_Stored_Device(unsigned int serial, StoredDevice& device);
  // Connects the module as the update does (USB, then TCP/IP) and reads what it says of itself;
  // false when no module with that serial number answers.
  [[nodiscard]] bool Read_Device_Identity(unsigned int serial, DeviceIdentity& identity);

  enum class RecoveryChip { None, LPC, IMX };

 private:
  friend bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, std::string port,
                                   unsigned int serial, std::string birdFile, Fingerprint& fingerprint, bool reset,
                                   std::string* why);

  std::string serverUrl;
  std::string updaterDirectory;
  UpdaterDisplayInterface& display;
  RecoveryChip recoveryChip = RecoveryChip::None;

  void reportUnavailable(const char* command);
};

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& list, linkType type);
// The transport (USB or TCP/IP) on which the module with that serial number answers, or 0.
linkType _discover_link_type(unsigned int serialNumber);
// The module's firmware build number; 0 on any failure.
[[nodiscard]] uint32_t _get_build_number(Tessaron::Halyard::Module& module);
// Fills the version and the module and router addresses; the first failure is returned.
[[nodiscard]] aErr _get_version(Tessaron::Halyard::Module& module, DeviceInfo& record);

// One error line naming the store directory of a device that could not be opened or made.
void _display_store_failure(UpdaterDisplayInterface& display, unsigned int serial, const std::exception& error);
// The error lines that name why an update-server query failed: the latest build of a device, and
// the serial number and build of a chip in recovery.
void _display_latest_build_failure(UpdaterDisplayInterface& display, unsigned int serial, const std::string& cause);
void _display_recovery_query_failure(UpdaterDisplayInterface& display, const Fingerprint& fingerprint,
                                     const std::string& cause);
// The cause for a latest-build reply that named no build number (latest is the server's text).
std::string _no_build_number_cause(const std::string& latest);
// False, with the user told, when the device's settings file exists but cannot be read: nothing
// is then done that would have to be recorded in it.
[[nodiscard]] bool _settings_readable(UpdaterDisplayInterface& display, const UpdaterStoreItem& item);
// Firmware update steps, shared with serial recovery.
[[nodiscard]] int _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird,
                                     Tessaron::Halyard::Module& module, unsigned int serial);
// The serial number and model name the module reports (failed reads give 0).
DeviceIdentity _read_device_identity(Tessaron::Halyard::Module& module);
[[nodiscard]] aErr _transfer_loader(UpdaterDisplayInterface& display, Tessaron::Halyard::Module& module,
                                    BirdFile& bird);
[[nodiscard]] aErr _transfer_firmware(UpdaterDisplayInterface& display, Tessaron::Halyard::Module& module,
                                      BirdFile& bird);
// Whether build is in the server's build list of the device; when the list could not be had, the
// cause is in *cause (when given).
[[nodiscard]] bool _valid_build(unsigned int serial, unsigned int build, const char* url,
                                std::string* cause = nullptr);
void _display_builds(UpdaterDisplayInterface& display, const std::map<std::string, std::string>& builds,
                     unsigned int serial);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);

// Serial recovery steps. Identification of an LPC chip over its ISP protocol (the port closed
// afterwards, the chip left synchronised); of an i.MX chip by starting its live loader and reading
// the unique identifier over USB (reset: restart the loader afterwards). A chip left synchronised
// by an earlier run is recognised without a new synchronisation. On failure *why (when given)
// tells the cause in words, for the one error line the caller prints.
[[nodiscard]] bool _get_fingerprint_lpc(std::string port, unsigned int baud, Fingerprint& fingerprint,
                                        std::string* why = nullptr);
[[nodiscard]] bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, std::string port,
                                        unsigned int serial, std::string birdFile, Fingerprint& fingerprint,
                                        bool reset, std::string* why = nullptr);
// Writes the bird file's loader blocks through the i.MX boot ROM on port ("USB": its HID device)
// and starts the loader: 0, 11 when the boot ROM cannot be opened, 25 when a block failed
// (*why, when given, tells the cause).
[[nodiscard]] int _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& bird, std::string port,
                                            std::string* why = nullptr);
// Erases the LPC chip's flash and writes the (decoded) firmware blocks; the chip must still be
// synchronised at baud.
[[nodiscard]] bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& bird, std::string& port,
                                         unsigned int baud, Fingerprint& fingerprint);
// Updates the module through the running live loader (found over USB).
[[nodiscard]] bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& bird, unsigned int serial);
