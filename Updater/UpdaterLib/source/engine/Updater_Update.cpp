// Firmware update (-U) of a module that still runs its firmware: choice of the build, the bird
// file, connection (directly or through a router module), validation, loader, loader-mode
// reconnection, firmware, reboot and the transfer record in the device's settings.

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "aRetry.h"
#include "aTime.h"
#include "aUEI.h"
#include "engine/Updater.h"
#include "engine/UpdaterSteps.h"
#include "firmware/BirdFile.h"
#include "firmware/BirdFileCheck.h"
#include "module_update/NetworkScan.h"
#include "module_update/UpdaterEntity.h"
#include "server/UpdateServerRequest.h"
#include "store/KeyValueStore.h"
#include "store/UpdaterStore.h"
#include "support/InterruptGuard.h"
#include "support/NumberText.h"
#include "support/SpinnerWait.h"
#include "support/TestHook.h"

using Tessaron::Halyard::Module;
using Tessaron::Halyard::SystemClass;

using namespace engine;

namespace {

// Rediscovery of a module that restarted into its loader.
constexpr unsigned kLoaderRediscoveryAttempts = 15;
constexpr unsigned long kLoaderRediscoveryPauseMs = 1000;
// After the reboot: how long the module may take to come back, and the pause between looks.
constexpr unsigned long kComeBackWaitMs = 60000;
constexpr unsigned long kComeBackPauseMs = 250;
constexpr const char* kComeBackLabel = "Waiting for the device to come back";
// A module on TCP/IP is looked for at the address it was updated at for this long after its
// reboot before discovery takes every other look (it may have come back at another address).
constexpr unsigned long kComeBackAtAddressMs = 5000;

using UpdaterDisplay = UpdaterDisplayInterface;

// A build number kept in a setting ("1234.bird" reads as 1234); 0 when there is none.
unsigned int settingBuild(KeyValueStore& settings, const char* key) {
  int value = settings.GetInt(key, 0);
  return value > 0 ? static_cast<unsigned int>(value) : 0;
}

// The device's directory in the store; an item referring to nothing when there is none.
UpdaterStoreItem findDeviceItem(const std::string& root, unsigned int serial) {
  UpdaterStoreItem item;
  try {
    UpdaterStore store(root.c_str());
    if (!store.FindDevice(serial, &item)) item = UpdaterStoreItem();
  } catch (const std::exception& error) {
    Log::log(DEBUG_Updater, "%s\n", error.what());
  }
  return item;
}

// Held means usable: a damaged file, or one holding another build, is not that build.
bool storeHoldsBuild(UpdaterStoreItem& item, unsigned int build) {
  try {
    BirdFile bird = item.ReadBirdFile(BirdFileName(build).c_str());
    return _bird_integrity_refusal(bird).empty() && _bird_build_refusal(bird, build).empty();
  } catch (const std::exception& error) {
    Log::log(DEBUG_Updater, "%s\n", error.what());
    return false;
  }
}

// The latest build the update server names for the device, 0 when it names none (with the cause
// in *cause when the query failed).
unsigned int serverLatestBuild(UpdaterDisplay& display, const std::string& url, unsigned int serial,
                               std::string* cause) {
  std::string latest, firmware;
  if (!RunUnderSpinner(display, kServerQueryLabel, [&] {
        return UpdateServerRequest::QueryBuild(serial, latest, firmware, url.c_str(), cause);
      })) {
    latest.clear();
  }
  unsigned int build = 0;
  if (!ReadServerBuildNumber(latest, &build)) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
    return 0;
  }
  return build;
}

// The build to install when none was given: the server's latest when it is in the store, else
// the latest download, else the latest transfer; 0 when there is none. *serverCause tells why
// the server named no build when its query failed.
unsigned int chooseBuild(UpdaterDisplay& display, const std::string& url, unsigned int serial,
                         UpdaterStoreItem& item, std::string* serverCause) {
  unsigned int build = serverLatestBuild(display, url, serial, serverCause);
  if (build != 0 && !storeHoldsBuild(item, build)) {
    build = 0;
    display.message(UpdaterDisplay::INFO,
                    "New firmware is available.  Updater will proceed if valid firmware is found locally.");
  }
  if (build == 0) {
    build = settingBuild(item.settings, kLatestDownloadKey);
    if (build != 0) display.message(UpdaterDisplay::INFO, "Updating with the Latest Download");
  }
  if (build == 0) {
    build = settingBuild(item.settings, kLatestTransferKey);
    if (build != 0) display.message(UpdaterDisplay::INFO, "Updating with the Latest Transfer");
  }
  return build;
}

// A question to the module, asked again (kUpgradeAsks times in all) while its answer is lost on
// the way, as happens on a router's module bus: only for reads, which change nothing.
aErr askedAgainWhenLost(Module& module, const std::function<aErr()>& read) {
  const unsigned asks = module.getNetworkingMode() ? 1 : kUpgradeAsks;
  aErr result = aErrTimeout;
  for (unsigned ask = 1; ask <= asks && result == aErrTimeout; ++ask) result = read();
  return result;
}

// The build the module runs (0 when it does not tell), asked again while the answer is lost.
uint32_t readBuildNumber(Module& module) {
  uint32_t build = 0;
  (void)askedAgainWhenLost(module, [&] {
    build = _get_build_number(module);
    return build != 0 ? aErrNone : aErrTimeout;
  });
  return build;
}

// One error line for a block the module did not take: which block, where, and why.
void reportBlockFailure(UpdaterDisplay& display, const char* kind, const std::vector<BirdBlock>& blocks,
                        const BirdBlock& block, const UpdaterEntity& entity) {
  const uint32_t address = block.length >= 4 ? aUEI_RetrieveInt(block.data) : 0;
  display.message(UpdaterDisplay::ERROR, "Failed to write %s block %u at 0x%08X: %s", kind,
                  static_cast<unsigned>(&block - blocks.data()) + 1, address, entity.Failure().c_str());
}

// What differs between the transfer of the loader's blocks and of the firmware's.
struct BlockKind {
  const char* name;  // in the lines shown
  UpdateOutcome::Step step;  // the step of a failure
  // Whether a PREPARE that timed out still lets its block go (the loader's).
  bool sentAfterPrepareTimeout;
  const char* prepareFault;   // the log's words for a failed PREPARE
  const char* transferFault;  // and for a failed block
  std::function<aErr(UpdaterEntity&, const BirdBlock&, uint16_t blockSize)> send;
};

const BlockKind kLoaderBlocks{"loader", UpdateOutcome::Step::Loader, true, "Error Preparing transfer", "Error loader transfer",
                              [](UpdaterEntity& entity, const BirdBlock& block, uint16_t) {
                                return entity.LoaderTransfer(block.data, block.length);
                              }};

BlockKind firmwareBlocks(UpdaterDisplay& display) {
  return {"firmware", UpdateOutcome::Step::Firmware, false, "Error firmware transfer init:", "Error firmware transfer",
          [&display](UpdaterEntity& entity, const BirdBlock& block, uint16_t blockSize) {
            return entity.FirmwareTransfer(block.data, block.length, blockSize, display);
          }};
}

// Sends the blocks in file order, each announced by PREPARE. A failed PREPARE ends the transfer;
// a failed block leaves the next one to be tried unless the link to the module is lost. The first
// failure is returned, and kept in *failed when given.
aErr transferBlocks(UpdaterDisplay& display, UpdaterEntity& entity, const std::vector<BirdBlock>& blocks,
                    const BlockKind& kind, TransferFailure* failed) {
  auto note = [&] {
    if (failed != nullptr) *failed = {kind.step, entity.Failure()};
  };
  int sent = 0;
  int total = 0;
  aErr status = aErrNone;
  aErr failure = aErrNone;
  for (const BirdBlock& block : blocks) {
    display.message(UpdaterDisplay::INFO, "Transferring %s block %d of %d, %d bytes", kind.name, sent + 1,
                    static_cast<int>(blocks.size()), static_cast<int>(block.length));
    uint16_t blockSize = 0;
    status = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
    if (status != aErrNone && !(status == aErrTimeout && kind.sentAfterPrepareTimeout)) {
      Log::log(DEBUG_Updater, "%s [%d, %s].\n", kind.prepareFault, static_cast<int>(status),
               aError_GetErrorText(status));
      reportBlockFailure(display, kind.name, blocks, block, entity);
      note();
      break;
    }
    status = kind.send(entity, block, blockSize);
    if (status != aErrNone) {
      Log::log(DEBUG_Updater, "%s [%d, %s].\n", kind.transferFault, static_cast<int>(status),
               aError_GetErrorText(status));
      reportBlockFailure(display, kind.name, blocks, block, entity);
      if (failure == aErrNone) note();
      if (failure == aErrNone) failure = status;
      if (status == aErrConnection) break;  // a lost link takes no more blocks
      continue;
    }
    ++sent;
    total += static_cast<int>(block.length);
  }
  if (status == aErrNone && failure != aErrNone) status = failure;
  display.message(UpdaterDisplay::INFO, "Transferred %d blocks, %d total bytes", sent, total);
  return status;
}

// Why a connection failed, as the user reads it.
const char* connectionCause(aErr result) {
  return result == aErrNotFound ? "not found on USB or TCP/IP" : aError_GetErrorDescription(result);
}

bool holdsBothImages(UpdaterDisplay& display, const BirdFile& bird) {
  const std::string refusal = _bird_image_refusal(bird);
  if (refusal.empty()) return true;
  display.message(UpdaterDisplay::ERROR, "%s; nothing was sent to the device", refusal.c_str());
  return false;
}

// The router module a device behind it is reached through: connected over USB, else TCP/IP, and
// routing to the host from connect() until it is destroyed.
class RouterConnection {
 public:
  RouterConnection() : router_(0, 0) {}
  ~RouterConnection() {
    if (routing_) (void)system_.routeToMe(0);  // best effort: the update's outcome is already known
  }
  RouterConnection(const RouterConnection&) = delete;
  RouterConnection& operator=(const RouterConnection&) = delete;

  // aErrNone once connected and routing; else why not.
  [[nodiscard]] aErr connect(unsigned int routerSerial) {
    aErr result = router_.connect(linkTypeUSB, routerSerial);
    if (result == aErrNotFound) result = router_.connect(linkTypeTCPIP, routerSerial);
    if (result != aErrNone) return result;
    system_.init(&router_, 0);
    result = system_.routeToMe(1);
    routing_ = result == aErrNone;
    return result;
  }
  Module& module() { return router_; }

 private:
  Module router_;
  SystemClass system_;
  bool routing_ = false;
};

// The address of the module with that serial number behind the router, 0 when it does not answer
// there.
unsigned char findNetworkAddress(UpdaterDisplay& display, Module& router, unsigned int serial) {
  display.display_progress(true);
  NetworkScan scan(router, [&display](double done) { display.update_progress(done, nullptr); });
  std::vector<NetworkModule> found = scan.findModules(serial);
  display.display_progress(false);
  for (const NetworkModule& module : found) {
    if (module.serialNumber == serial) return module.address;
  }
  return 0;
}

// Connects the device module directly (USB, then TCP/IP) or through its router module, whose
// device network is searched for the module when its address is not given. Returns false when
// the update must end at once (without its update time).
bool connectDevice(UpdaterDisplay& display, Module& module, unsigned int serial, unsigned char moduleAddress,
                   unsigned int routerSerial, RouterConnection& router, aErr* status) {
  if (routerSerial != 0) {
    aErr connected = router.connect(routerSerial);
    if (connected != aErrNone) {
      display.message(UpdaterDisplay::ERROR, "Failed to connect to link module [%08X]", routerSerial);
      display.message(UpdaterDisplay::ERROR, "Connecting to link module %08X failed: %s", routerSerial,
                      connectionCause(connected));
      return false;
    }
    if (moduleAddress == 0) moduleAddress = findNetworkAddress(display, router.module(), serial);
    if (moduleAddress == 0) {
      display.message(UpdaterDisplay::ERROR, "Module [%08X] not found behind router [%08X]", serial, routerSerial);
      return false;
    }
    module.setModuleAddress(moduleAddress);
    *status = module.connectThroughLinkModule(&router.module());
  } else {
    *status = module.connect(linkTypeUSB, serial);
    if (*status == aErrNotFound) *status = module.connect(linkTypeTCPIP, serial);
  }
  if (*status != aErrNone) {
    display.message(UpdaterDisplay::ERROR, "Failed to connect to module [%08X]", serial);
    display.message(UpdaterDisplay::ERROR, "Connecting to module %08X%s failed: %s", serial,
                    routerSerial != 0 ? " through its link module" : "", connectionCause(*status));
  }
  return true;
}

// The transport the module was reached by (USB or TCP/IP).
linkType reachedBy(Module& module) {
  linkSpec spec{};
  linkType transport = module.getLinkSpecifier(&spec) == aErrNone ? spec.type : linkTypeUSB;
  return transport == linkTypeTCPIP ? linkTypeTCPIP : linkTypeUSB;
}

// The module's build over a connection of its own, without a word to the user; false when it does
// not answer on its way. A module reached over TCP/IP before is asked at the same address first:
// a discovery that finds nothing holds the machine's discovery window for its whole time-out,
// which would keep every other process from discovering meanwhile.
bool readBuildOnce(UpdaterDisplay& display, unsigned int serial, unsigned int routerSerial, linkSpec& reachedAt,
                   uint32_t& build) {
  Module module(0, 0);
  RouterConnection router;
  aErr status;
  if (routerSerial != 0) {
    if (router.connect(routerSerial) != aErrNone) return false;
    const unsigned char address = findNetworkAddress(display, router.module(), serial);
    if (address == 0) return false;
    module.setModuleAddress(address);
    status = module.connectThroughLinkModule(&router.module());
  } else if (reachedAt.type == linkTypeTCPIP && reachedAt.serialNumber == serial) {
    status = module.connectFromSpec(reachedAt);
  } else {
    status = module.connect(linkTypeUSB, serial);
    if (status == aErrNotFound) status = module.connect(linkTypeTCPIP, serial);
    if (status == aErrNone && module.getLinkSpecifier(&reachedAt) != aErrNone) reachedAt = linkSpec{};
  }
  if (status != aErrNone) return false;
  build = _get_build_number(module);
  (void)module.disconnect();  // nothing was written; always aErrNone
  return build != 0;
}

// A module on TCP/IP coming back from its reboot, looked for where it was updated: a connection
// to its address fails at once while it restarts, where a discovery finding nothing holds the
// machine's discovery window for its whole reply time-out, keeping every other update on the
// machine from discovering meanwhile. After kComeBackAtAddressMs, every other look is a
// discovery. What answers at the address counts only when it has the serial number.
class ComeBackLooker {
 public:
  ComeBackLooker(Module& module, unsigned int serial) : module_(module), serial_(serial) {}

  aErr operator()() {
    const bool atAddress = ++looks_ % 2 == 1 || aTime_GetMSTicks() - since_ < kComeBackAtAddressMs;
    if (!atAddress) return module_.discoverAndConnect(linkTypeTCPIP, serial_);
    aErr result = module_.reconnect();
    if (result != aErrNone) return result;
    SystemClass system;
    system.init(&module_, 0);
    uint32_t answered = 0;
    if (system.getSerialNumber(&answered) == aErrNone && answered == serial_) return aErrNone;
    (void)module_.disconnect();  // always aErrNone
    return aErrNotFound;
  }

 private:
  Module& module_;
  const unsigned int serial_;
  const uint64_t since_ = aTime_GetMSTicks();
  unsigned looks_ = 0;
};

// After LOAD the module may have restarted into its loader and left its link: find it again on
// the transport it was reached by (through the router's link when it sits behind one). A module
// not found is reported here; the firmware transfer that follows then fails at its first block.
void reconnectInLoaderMode(UpdaterDisplay& display, Module& module, unsigned int serial, bool routed) {
  const linkType transport = reachedBy(module);
  (void)module.disconnect();  // always aErrNone
  const unsigned attempts = static_cast<unsigned>(std::min<unsigned long>(
      TestHook_LongWaitMs(kLoaderRediscoveryAttempts * kLoaderRediscoveryPauseMs) / kLoaderRediscoveryPauseMs + 1,
      kLoaderRediscoveryAttempts));
  aErr result = RetryBounded(attempts, kLoaderRediscoveryPauseMs, [&](unsigned attempt) {
    aErr found = routed ? module.reconnect() : module.discoverAndConnect(transport, serial);
    Log::log(DEBUG_Updater, "Looking for the device in loader mode, attempt %u of %u: %d\n", attempt,
             kLoaderRediscoveryAttempts, static_cast<int>(found));
    if (module.isConnected()) return aErrNone;
    return found != aErrNone ? found : aErrConnection;
  });
  if (result == aErrNone) return;
  display.message(UpdaterDisplay::ERROR, "Failed to find device %08X in loader mode after %u attempts: %s", serial,
                  attempts, aError_GetErrorDescription(result));
}

// Records the transfer in the device's settings file in the store. A device without a directory
// gets one now, so the record lands where the next update looks for it (never in a settings file
// of the working directory). On failure *why tells why.
bool recordTransfer(UpdaterDisplay& display, const std::string& root, unsigned int serial, UpdaterStoreItem& item,
                    const std::string& birdFile, std::string* why) {
  if (!item.IsValid()) {
    try {
      UpdaterStore store(root.c_str());
      item = store.AddDevice(serial);
    } catch (const std::exception& error) {
      Log::log(DEBUG_Updater, "%s\n", error.what());
      _display_store_failure(display, serial, error);
    }
  }
  if (!item.IsValid() || item.settings.Filename().empty()) {
    display.message(UpdaterDisplay::ERROR, "Could not record the transfer for device %08X in %s", serial,
                    root.c_str());
    *why = "the transfer could not be recorded in " + root;
    return false;
  }
  item.settings.Add(kLatestTransferKey, birdFile);
  item.settings.Add(kLastTransferDateKey, KeyValueStore::CurrentTimeText());
  if (item.settings.Save()) return true;
  display.message(UpdaterDisplay::ERROR, "Firmware installed, but the transfer record could not be saved in %s: %s",
                  item.settings.Filename().c_str(), item.settings.SaveProblem());
  *why = "the transfer record could not be saved in " + item.settings.Filename() + ": " + item.settings.SaveProblem();
  return false;
}

}  // namespace

void Updater::OutcomeLine::set(UpdaterDisplayInterface::Level lineLevel, const char* format, ...) {
  char line[UpdaterDisplayInterface::MESSAGE_SIZE];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  level = lineLevel;
  text = line;
}

bool Updater::noteFailure(UpdateOutcome::Step step, const std::string& cause, UpdateOutcome::DeviceState state) {
  lastOutcome.result = UpdateOutcome::Result::Failed;
  lastOutcome.step = step;
  lastOutcome.cause = cause;
  lastOutcome.state = state;
  return false;
}

bool Updater::failOutcome(UpdateOutcome::Step step, const std::string& cause, UpdateOutcome::DeviceState state) {
  (void)noteFailure(step, cause, state);
  const std::string line = UpdateOutcome_StateLine(lastOutcome.serial, state);
  if (!line.empty()) display.message(UpdaterDisplay::ERROR, "%s", line.c_str());
  return false;
}

bool Updater::verifyOutcome(Module& module, unsigned int serial, const std::function<aErr()>& lookAgain,
                            bool routed, bool override, OutcomeLine* shown) {
  (void)module.disconnect();  // always aErrNone
  bool answered = false;
  uint32_t build = 0;
  const unsigned long bound = TestHook_LongWaitMs(kComeBackWaitMs);
  (void)RetryUntil(bound, kComeBackPauseMs, [&](unsigned) {
    if (InterruptGuard::Requested()) return aErrNone;  // the wait ends; the device is not seen back
    display.update_spinner(true, kComeBackLabel);
    if (!module.isConnected()) {
      aErr found = lookAgain();
      Log::log(DEBUG_Updater, "Looking for the device after its reboot: %d\n", static_cast<int>(found));
      if (found != aErrNone || !module.isConnected()) {
        (void)module.disconnect();  // always aErrNone; the next look starts afresh
        return aErrNotReady;
      }
    }
    // A direct link is the module itself; a router's link tells nothing of the module behind it.
    answered = answered || !routed;
    build = _get_build_number(module);
    if (build == 0) (void)module.disconnect();  // still starting, or its link went down again
    return build != 0 ? aErrNone : aErrNotReady;
  });
  display.update_spinner(false, kComeBackLabel);
  lastOutcome.buildAfter = build;
  const uint32_t expected = lastOutcome.fileBuild;
  const double seconds = static_cast<double>(bound) / 1000.0;
  if (build == 0) {
    lastOutcome.result = UpdateOutcome::Result::NotBack;
    lastOutcome.step = UpdateOutcome::Step::Verification;
    lastOutcome.state = UpdateOutcome::DeviceState::NotBack;
    if (InterruptGuard::Requested()) {
      lastOutcome.cause = std::string("the wait for it to come back was interrupted by ") + InterruptGuard::SignalName();
      shown->set(UpdaterDisplay::ERROR,
                 "Module %08X was rebooted, but the wait for it to come back was interrupted by %s: run -D to "
                 "see what it runs, or recover it with -U -t RECOVER", serial, InterruptGuard::SignalName());
    } else if (answered) {
      lastOutcome.cause = "it came back but did not tell its build";
      shown->set(UpdaterDisplay::ERROR,
                      "Module %08X came back after its reboot but did not tell its build within %.0f s; "
                      "the update is not confirmed: run -D to see what it runs, or recover it with -U -t RECOVER",
                      serial, seconds);
    } else {
      lastOutcome.cause = "it did not come back within the bound";
      shown->set(UpdaterDisplay::ERROR,
                      "Module %08X did not come back within %.0f s of its reboot: it may not start its new "
                      "firmware; recover it with -U -t RECOVER",
                      serial, seconds);
    }
    return false;
  }
  lastOutcome.state = UpdateOutcome::DeviceState::Running;
  if (expected == 0) {
    lastOutcome.result = UpdateOutcome::Result::Updated;
    shown->set(UpdaterDisplay::INFO, "Module %08X now runs build %u (the file names no build)", serial, build);
    return true;
  }
  if (build == expected) {
    lastOutcome.result = UpdateOutcome::Result::Updated;
    shown->set(UpdaterDisplay::INFO, "Module %08X now runs build %u", serial, build);
    return true;
  }
  lastOutcome.result = UpdateOutcome::Result::OtherBuild;
  lastOutcome.accepted = override;
  if (override) {
    shown->set(UpdaterDisplay::ERROR, "Warning: module %08X now runs build %u, not build %u of the file "
                    "(accepted with -OVERRIDE)", serial, build, expected);
    return true;
  }
  lastOutcome.step = UpdateOutcome::Step::Verification;
  lastOutcome.cause = "it came back running build " + std::to_string(build) + ", not build " + std::to_string(expected);
  shown->set(UpdaterDisplay::ERROR,
                  "Module %08X came back running build %u, not build %u of the file: the new firmware did not "
                  "take; run the update again, or recover it with -U -t RECOVER",
                  serial, build, expected);
  return false;
}

bool Updater::Update_Firmware(unsigned int serial, unsigned int build, std::string birdFile, unsigned char moduleAddress,
                              unsigned int routerSerial, bool override) {
  lastOutcome = UpdateOutcome();
  lastOutcome.serial = serial;
  lastOutcome.file = birdFile;
  if (serial == 0) {
    display.message(UpdaterDisplay::ERROR, "Update command must specify the specific device");
    lastOutcome.result = UpdateOutcome::Result::Failed;
    lastOutcome.step = UpdateOutcome::Step::Command;
    return false;
  }
  using State = UpdateOutcome::DeviceState;
  UpdaterStoreItem item = findDeviceItem(updaterDirectory, serial);
  if (!_settings_readable(display, item)) return failOutcome(UpdateOutcome::Step::Settings, "settings file unreadable", State::Unchanged);
  const uint64_t start = aTime_GetMSTicks();

  if (birdFile.empty() && build == 0) {
    std::string serverCause;
    build = chooseBuild(display, serverUrl, serial, item, &serverCause);
    if (build == 0) {
      display.message(UpdaterDisplay::ERROR, "Could not find valid build for this device.");
      display.message(UpdaterDisplay::ERROR,
                      "No build for device %08X: the update server named none held in the store, and no download "
                      "or transfer is recorded", serial);
      // Only when nothing could be installed does the server's silence matter to the user.
      if (!serverCause.empty()) _display_latest_build_failure(display, serial, serverCause);
      return failOutcome(UpdateOutcome::Step::Build, "no build found", State::Unchanged);
    }
  }

  BirdFile bird;
  try {
    bird = load_bird("Updating", birdFile, serial, build, false);
  } catch (const std::exception& error) {
    Log::log(DEBUG_Updater, "%s\n", error.what());
    display.message(UpdaterDisplay::ERROR, "Failed to load bird file");
    return failOutcome(UpdateOutcome::Step::File, error.what(), State::Unchanged);
  }
  lastOutcome.fileBuild = bird.GetBuild();
  if (birdFile.empty() && item.IsValid()) lastOutcome.file = UpdaterStore::JoinPath(item.FullPath(), BirdFileName(build));

  // A file without a loader or a firmware image would erase the module's firmware and leave it
  // with nothing, or stranded in its loader: refused before the first packet.
  if (!holdsBothImages(display, bird)) return failOutcome(UpdateOutcome::Step::Validation, _bird_image_refusal(bird), State::Unchanged);

  if (bird.serialReplaceable) {
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    const std::string refusal = _bird_serial_refusal(bird, serial);
    if (!refusal.empty()) {
      Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
      display.message(UpdaterDisplay::ERROR, "Failed to set serial number %08X into the firmware of %s", serial,
                      bird.filename.c_str());
      return failOutcome(UpdateOutcome::Step::Validation, refusal, State::Unchanged);
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
  }

  // A signal ends the update only once it is recorded how the device is left (and, behind a
  // router, once routing is off again): the guard outlives the router's connection, and the
  // upgrade stops sending when a signal came.
  InterruptGuard interruptible;
  RouterConnection router;
  Module module(moduleAddress, 0);
  aErr status = aErrNone;
  if (!connectDevice(display, module, serial, moduleAddress, routerSerial, router, &status)) {
    return failOutcome(UpdateOutcome::Step::Connect, "router or module address not reached", State::Unchanged);
  }
  if (status == aErrNone) {
    lastOutcome.reached = true;
    lastOutcome.buildBefore = readBuildNumber(module);
  }

  std::string refusal;
  if (!override && module.isConnected() &&
      _validate_birdfile(display, bird, module, serial, &refusal, &lastOutcome.model) <= 0) {
    display.message(UpdaterDisplay::ERROR, "Birdfile failed validation");
    return failOutcome(UpdateOutcome::Step::Validation, refusal, State::Unchanged);
  }

  TransferFailure failure;
  State failedState = State::Unchanged;
  if (status != aErrNone) {
    failure = {UpdateOutcome::Step::Connect, connectionCause(status)};
  } else {
    status = _transfer_loader(display, module, bird, &failure);
    // Once LOAD was asked for, the module may have left its firmware for its loader.
    if (status != aErrNone && failure.step != UpdateOutcome::Step::Loader) failedState = State::InLoader;
  }
  if (status == aErrNone && !module.isConnected()) reconnectInLoaderMode(display, module, serial, routerSerial != 0);
  if (status == aErrNone) {
    status = _transfer_firmware(display, module, bird, &failure);
    if (status != aErrNone) failedState = State::InLoader;
  }

  OutcomeLine outcome;
  const bool routed = routerSerial != 0;
  const linkType transport = reachedBy(module);
  ComeBackLooker atAddress(module, serial);
  auto lookAgain = [&] {
    if (routed) return module.reconnect();
    return transport == linkTypeTCPIP ? atAddress() : module.discoverAndConnect(transport, serial);
  };
  bool verified = status == aErrNone && verifyOutcome(module, serial, lookAgain, routed, override, &outcome);
  std::string unrecorded;
  bool recorded = verified && recordTransfer(display, updaterDirectory, serial, item,
                                             birdFile.empty() ? BirdFileName(build) : birdFile, &unrecorded);
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  display.message(UpdaterDisplay::INFO, "Update time: %.4f sec",
                  static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
  if (status != aErrNone) return failOutcome(failure.step, failure.cause, failedState);
  // The outcome comes last: what the device now runs, or what is wrong with it.
  display.message(outcome.level, "%s", outcome.text.c_str());
  // Installed and running, but the store does not know: the next update would not either.
  if (verified && !recorded) return noteFailure(UpdateOutcome::Step::Store, unrecorded, State::Running);
  return verified && recorded;
}

bool Updater::Read_Device_Build(unsigned int serial, unsigned int routerSerial, unsigned long waitMs, uint32_t& build,
                                linkSpec* reachedAt) {
  constexpr unsigned long kPauseMs = 250;
  linkSpec spec = reachedAt != nullptr ? *reachedAt : linkSpec{};
  const uint64_t deadline = aTime_GetMSTicks() + waitMs;
  bool read;
  for (;;) {
    read = readBuildOnce(display, serial, routerSerial, spec, build);
    if (read || aTime_GetMSTicks() + kPauseMs > deadline) break;
    aTime_MSSleep(kPauseMs);
  }
  // Not back at its address: it may have come back at another one.
  if (!read && spec.type == linkTypeTCPIP) {
    spec = linkSpec{};
    read = readBuildOnce(display, serial, routerSerial, spec, build);
  }
  if (reachedAt != nullptr) *reachedAt = spec;
  return read;
}

BirdFile Updater::load_bird(const char* action, std::string birdFile, unsigned int serial, unsigned int build,
                            bool download) {
  BirdFile bird = read_bird(action, birdFile, serial, build, download);
  // Only a file that was read whole, adds up and is the build asked for goes further.
  std::string refusal = _bird_integrity_refusal(bird);
  if (!refusal.empty()) {
    display.message(UpdaterDisplay::ERROR, "Bird file %s is damaged: %s", bird.filename.c_str(), refusal.c_str());
    throw std::runtime_error("Damaged bird file " + bird.filename);
  }
  refusal = _bird_build_refusal(bird, build);
  if (!refusal.empty()) {
    display.message(UpdaterDisplay::ERROR, "%s", refusal.c_str());
    throw std::runtime_error(refusal);
  }
  return bird;
}

BirdFile Updater::read_bird(const char* action, const std::string& birdFile, unsigned int serial, unsigned int build,
                            bool download) {
  if (!birdFile.empty()) {
    display.message(UpdaterDisplay::INFO, "%s from Birdfile: %s", action, birdFile.c_str());
    const std::string refusal = _bird_path_refusal(birdFile);
    if (!refusal.empty()) {
      display.message(UpdaterDisplay::ERROR, "%s", refusal.c_str());
      throw std::runtime_error("Bird file is not a regular file");
    }
    try {
      return BirdFile(birdFile.c_str());
    } catch (const BirdFileLoadError& error) {
      display.message(UpdaterDisplay::ERROR, "Failed to read bird file %s: %s", birdFile.c_str(),
                      error.reason().c_str());
      throw;
    }
  }
  UpdaterStore store(updaterDirectory.c_str());
  UpdaterStoreItem item = store.AddDevice(serial);
  display.message(UpdaterDisplay::INFO, "%s firmware with build: %u", action, build);
  const std::string name = BirdFileName(build);
  try {
    return item.ReadBirdFile(name.c_str());
  } catch (const std::exception& error) {
    Log::log(DEBUG_Updater, "%s\n", error.what());
    if (!download) {
      display.message(UpdaterDisplay::ERROR, "Failed to read build %u from the store: %s is missing or no bird file",
                      build, UpdaterStore::JoinPath(item.FullPath(), name).c_str());
      throw std::runtime_error("Error reading birdfile");
    }
  }
  display.message(UpdaterDisplay::INFO, "Downloading firmware build %u", build);
  (void)Download_Firmware(serial, std::to_string(build), false, false);  // told why; the read below fails
  return item.ReadBirdFile(name.c_str());
}

int engine::_validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird, Module& module, unsigned int serial,
                               std::string* refusal, std::string* model) {
  char shown[UpdaterDisplay::MESSAGE_SIZE];
  std::string why = _bird_file_refusal(bird, serial);
  if (!why.empty()) {
    Log::log(DEBUG_Updater, "%s\n", why.c_str());
    snprintf(shown, sizeof shown, "%s", why.c_str());
  } else {
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    DeviceIdentity device = _read_device_identity(module);
    if (model != nullptr && device.serial != 0) *model = device.modelName;
    why = _bird_device_refusal(bird, serial, device);
    if (why.empty()) return 1;
    // The caller adds that the file failed validation.
    if (device.serial == 0) {
      Log::log(DEBUG_Updater, "%s\n", why.c_str());
      snprintf(shown, sizeof shown, "Failed to read the serial number of device %08X", serial);
    } else if (device.serial != serial) {
      Log::log(DEBUG_Updater, "%s\n", why.c_str());
      snprintf(shown, sizeof shown, "Connected device answers serial number %08X, not %08X", device.serial, serial);
    } else {
      snprintf(shown, sizeof shown, "%s", why.c_str());
    }
  }
  display.message(UpdaterDisplay::ERROR, "%s", shown);
  if (refusal != nullptr) *refusal = shown;
  return 0;
}

DeviceIdentity engine::_read_device_identity(Module& module) {
  SystemClass system;
  system.init(&module, 0);
  DeviceIdentity device;
  // A failed read leaves 0, which no device and no model matches.
  if (askedAgainWhenLost(module, [&] { return system.getSerialNumber(&device.serial); }) != aErrNone) {
    device.serial = 0;
  }
  uint8_t model = 0;
  if (askedAgainWhenLost(module, [&] { return system.getModel(&model); }) != aErrNone) model = 0;
  device.modelName = aDefs_GetModelName(model);
  return device;
}

aErr engine::_transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& bird,
                              TransferFailure* failed) {
  UpdaterEntity entity;
  entity.init(&module, 0, true);
  auto note = [&](UpdateOutcome::Step step) {
    if (failed != nullptr) *failed = {step, entity.Failure()};
  };
  aErr status = entity.LoaderInit();
  if (status != aErrNone) {
    Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", static_cast<int>(status), aError_GetErrorText(status));
    display.message(UpdaterDisplay::ERROR, "Failed to start the update (INIT): %s", entity.Failure().c_str());
    note(UpdateOutcome::Step::Loader);
    return status;
  }
  display.message(UpdaterDisplay::INFO, "Transferring loader to device");
  std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_LOADER);
  display.display_progress(true);
  // A failed block fails the loader as a whole: a loader with a hole must not be started.
  status = transferBlocks(display, entity, blocks, kLoaderBlocks, failed);
  display.display_progress(false);

  if (status == aErrNone) {
    display.message(UpdaterDisplay::INFO, "Starting Load on Device");
    status = entity.LoaderStart();
    if (status == aErrTimeout) {
      Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
      status = aErrNone;
    } else if (status != aErrNone) {
      display.message(UpdaterDisplay::ERROR, "Error starting loader [%d, %s]", static_cast<int>(status),
                      aError_GetErrorText(status));
      display.message(UpdaterDisplay::ERROR, "Failed to start the loader (LOAD): %s", entity.Failure().c_str());
      note(UpdateOutcome::Step::Load);
    }
  }
  return status;
}

aErr engine::_transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& bird,
                                TransferFailure* failed) {
  UpdaterEntity entity;
  entity.init(&module, 0, true);
  Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", bird.filename.c_str());
  std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  // A failed block fails the update as a whole: the module must not reboot into half an image.
  aErr status = transferBlocks(display, entity, blocks, firmwareBlocks(display), failed);
  if (status != aErrNone) return status;
  status = entity.LoaderReboot(display);
  if (status != aErrNone) {
    display.message(UpdaterDisplay::ERROR, "Failed to reboot the device (REBOOT): %s", entity.Failure().c_str());
    if (failed != nullptr) *failed = {UpdateOutcome::Step::Reboot, entity.Failure()};
  }
  return status;
}
