#pragma once
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"
#include "aDefs.h"
#include "aError.h"
#include "engine/Fingerprint.h"
#include "engine/UpdateOutcome.h"
#include "firmware/BirdFileCheck.h"
#include "module_update/DeviceInfo.h"
#include "store/StoredDevice.h"

class BirdFile;
namespace lpc_recovery {
struct FlashFault;
}
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
  // searches (when given) gets each transport searched and why a search failed.
  std::vector<DeviceInfo> Discover_Devices(linkType type, std::vector<TransportSearch>* searches = nullptr);
  std::vector<DeviceInfo> Discover_HyNetwork_Devices(unsigned int routerSerialNumber, linkType type);
  // The same; false (and the reason told, and kept in *cause when given) when the router is not
  // found or does not answer.
  [[nodiscard]] bool Discover_HyNetwork_Devices(unsigned int routerSerialNumber, linkType type,
                                                std::vector<DeviceInfo>& list, std::string* cause = nullptr);

  // Firmware update (-U).
  [[nodiscard]] bool Update_Firmware(unsigned int serial, unsigned int build, std::string birdFile,
                                     unsigned char moduleAddress, unsigned int routerSerial, bool override);
  // The bird file to install: birdFile when named, else the build's file in the device's store
  // directory (downloaded first when download is set). Throws std::runtime_error when none loads,
  // when the file is damaged (BirdFile::Faults) and when it holds another build than build (not
  // compared when 0); the user is told why.
  BirdFile load_bird(const char* action, std::string birdFile, unsigned int serial, unsigned int build, bool download);

  // Build retrieval (-G, -B).
  [[nodiscard]] int Download_Firmware(unsigned int serial, std::string build, bool override, bool no_cal);
  [[nodiscard]] int Download_Firmware(Fingerprint fingerprint, std::string build, bool override);
  std::map<std::string, std::string> Get_BuildList(unsigned int serial);
  // The same, telling a failure (server not reached, or its answer an error) from an empty list;
  // *cause (when given) keeps why.
  [[nodiscard]] bool Get_BuildList(unsigned int serial, std::map<std::string, std::string>& builds,
                                   std::string* cause = nullptr);
  // The build the update server names latest for the device, as -G and -U without a build take it;
  // false, showing nothing, with *cause saying why, when the server names none.
  [[nodiscard]] bool Get_LatestBuild(unsigned int serial, uint32_t& build, std::string& cause);
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
  // The firmware build the module runs, read on the way an update reaches it (USB, then TCP/IP, or
  // through the router module routerSerial), asked again until it answers or waitMs have passed;
  // false, printing nothing, when it did not answer. reachedAt (when given) keeps where a module on
  // TCP/IP answered, and a later call is asked there first.
  [[nodiscard]] bool Read_Device_Build(unsigned int serial, unsigned int routerSerial, unsigned long waitMs,
                                       uint32_t& build, linkSpec* reachedAt = nullptr);

  enum class RecoveryChip { None, LPC, IMX };
  // The kind of chip the last Get_Fingerprint that returned true identified.
  RecoveryChip IdentifiedChip() const { return recoveryChip; }

  // What the last Update_Firmware or Recover_Firmware came to (Result::NotRun before the first).
  const UpdateOutcome& LastOutcome() const { return lastOutcome; }
  // What the last Download_Firmware came to: Result::Updated when the file was stored (file names
  // it, fileBuild its build), else Failed with the step and cause; the device is never touched.
  const UpdateOutcome& LastDownload() const { return lastDownload; }
  // Why the last Get_Fingerprint failed, in words (empty after one that succeeded).
  const std::string& LastIdentificationFault() const { return identificationFault; }

  // The root of the local store this engine works on.
  const std::string& StoreDirectory() const { return updaterDirectory; }

 private:
  // load_bird's reading of the file, before the checks.
  BirdFile read_bird(const char* action, const std::string& birdFile, unsigned int serial, unsigned int build,
                     bool download);
  std::string serverUrl;
  std::string updaterDirectory;
  UpdaterDisplayInterface& display;
  RecoveryChip recoveryChip = RecoveryChip::None;
  std::string identificationFault;  // why the last Get_Fingerprint failed
  UpdateOutcome lastOutcome;
  UpdateOutcome lastDownload;

  // Ends an update or recovery that failed: records the step, cause and state, and shows the line
  // that tells the state the device is left in. Returns false.
  bool verifyRecovery(unsigned int serial, const BirdFile& bird, uint64_t start);
  // The outcome of an LPC flash session (its fault when it failed).
  void recordLpcRecovery(bool recovered, const lpc_recovery::FlashFault& fault);
  bool failOutcome(UpdateOutcome::Step step, const std::string& cause, UpdateOutcome::DeviceState state);
  // The same without a word to the user (the caller tells it in its own words); also how a
  // recovery records, before each phase, how it ends when a signal stops it there.
  bool noteFailure(UpdateOutcome::Step step, const std::string& cause, UpdateOutcome::DeviceState state);
  // After a reboot: waits for the module to come back as it was reached, reads its build, records
  // it and shows the outcome line. True when the update may count as done.
  // The line is kept in *shown, to be shown after the update time.
  struct OutcomeLine {
    UpdaterDisplayInterface::Level level = UpdaterDisplayInterface::INFO;
    std::string text;
    void set(UpdaterDisplayInterface::Level lineLevel, const char* format, ...) __attribute__((format(printf, 3, 4)));
  };
  // lookAgain connects the module once more (aErrNone when it did); routed: its link is a router's,
  // which tells nothing of the module itself.
  bool verifyOutcome(Tessaron::Halyard::Module& module, unsigned int serial, const std::function<aErr()>& lookAgain,
                     bool routed, bool override, OutcomeLine* shown);

  void reportUnavailable(const char* command);
};

// What the front end shows of the engine's results, in the engine's words.
namespace engine {
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& list, linkType type);
void _display_builds(UpdaterDisplayInterface& display, const std::map<std::string, std::string>& builds,
                     unsigned int serial);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
}  // namespace engine
