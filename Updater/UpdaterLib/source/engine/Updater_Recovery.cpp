// Serial recovery (-U -t RECOVER) and chip identification (-N) of a module whose firmware no
// longer starts, through its processor's boot ROM: an LPC chip is identified and flashed over its
// ISP serial protocol (recovery/lpc/LpcRecovery); an i.MX chip is sent a live loader over the
// Serial Download Protocol (USB HID or a serial port), identified through that loader over USB
// and updated through it (recovery/imx/ImxRecovery). Here: which chip, which image, the outcome.
#include <exception>
#include <string>
#include <vector>

#include "Log.h"
#include "Module.h"
#include "aTime.h"
#include "engine/Updater.h"
#include "engine/UpdaterSteps.h"
#include "firmware/BirdFile.h"
#include "firmware/BirdFileCheck.h"
#include "recovery/imx/ImxRecovery.h"
#include "recovery/lpc/LpcRecovery.h"
#include "server/UpdateServerRequest.h"
#include "store/UpdaterStore.h"
#include "support/FormattedText.h"
#include "support/InterruptGuard.h"
#include "support/PlaceholderSerial.h"
#include "support/SerialPortFault.h"

using Tessaron::Halyard::Module;

using namespace engine;
using imx_recovery::kUsbPort;
using lpc_recovery::kIdentificationBaud;

namespace {

using UpdaterDisplay = UpdaterDisplayInterface;

void tell(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
}

// Mutes the display's messages for as long as it lives.
class MutedMessages {
 public:
  explicit MutedMessages(UpdaterDisplay& display) : display_(display), was_(display.muted()) {
    display_.mute_messages(true);
  }
  ~MutedMessages() { display_.mute_messages(was_); }
  MutedMessages(const MutedMessages&) = delete;
  MutedMessages& operator=(const MutedMessages&) = delete;

 private:
  UpdaterDisplay& display_;
  bool was_;
};

// The live-loader file for _get_fingerprint_imx: a named file, or a build in the store (downloaded
// when the store has none). False, with the reason given, when there is none to use.
bool loadLiveLoaderFile(UpdaterDisplay& display, Updater& updater, const std::string& storeRoot,
                        unsigned int serial, const std::string& birdFile, BirdFile& bird, std::string* why) {
  if (!birdFile.empty()) {
    if (serial == kPlaceholderSerialNumber) {
      display.message(UpdaterDisplay::ERROR,
                      "Add serial number or remove the bird filename to use a default recovery image.");
      return false;
    }
    try {
      bird = BirdFile(birdFile.c_str());
      return true;
    } catch (const std::exception& error) {
      Log::log(DEBUG_APP, "%s\n", error.what());
      tell(why, FormattedText("the live loader file %s could not be loaded (%s)", birdFile.c_str(), error.what()));
      return false;
    }
  }
  try {
    UpdaterStore store(storeRoot.c_str());
    UpdaterStoreItem item;
    std::string fileName;
    if (store.FindDevice(serial, &item) && item.IsValid()) fileName = item.settings.GetString(kLatestDownloadKey, "");
    // A device directory without a download (an earlier download failed half-way) is treated
    // like an unknown device, else it would never get a loader.
    if (fileName.empty()) {
      MutedMessages muted(display);
      Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
      int build = updater.Download_Firmware(serial, "", false, false);
      if (build > 0 && store.FindDevice(serial, &item)) fileName = BirdFileName(static_cast<unsigned int>(build));
    }
    if (fileName.empty()) {
      Log::log(DEBUG_APP, "No live loader for %08X in the store\n", serial);
      tell(why, FormattedText("no live loader for %08X: none in the store and none from the update server", serial));
      return false;
    }
    bird = item.ReadBirdFile(fileName.c_str());
    return true;
  } catch (const std::exception& error) {
    Log::log(DEBUG_APP, "%s\n", error.what());
    tell(why, FormattedText("the live loader for %08X could not be loaded (%s)", serial, error.what()));
    return false;
  }
}

}  // namespace

// ---- Recovery ----------------------------------------------------------------------------------

namespace {

UpdateOutcome recoveredOutcome(const UpdateOutcome& during) {
  UpdateOutcome recovered;
  recovered.serial = during.serial;
  recovered.fileBuild = during.fileBuild;
  recovered.file = during.file;
  recovered.result = UpdateOutcome::Result::Updated;
  recovered.state = UpdateOutcome::DeviceState::Running;
  return recovered;
}

}  // namespace

bool Updater::Recover_Firmware(std::string port, unsigned int build, unsigned int baud, unsigned int serial,
                               std::string birdFile, bool /*override: has no effect on recovery*/) {
  const uint64_t start = aTime_GetMSTicks();
  lastOutcome = UpdateOutcome();
  lastOutcome.serial = serial;
  using Step = UpdateOutcome::Step;
  using State = UpdateOutcome::DeviceState;
  // Each phase records first how the recovery ends when it stops there: a signal that ends the
  // run finds the record as it stands.
  (void)noteFailure(Step::Identification, "no boot ROM identified the chip", State::Unchanged);
  Fingerprint fingerprint{};
  if (!Get_Fingerprint(fingerprint, port, serial, birdFile, kIdentificationBaud, false)) {
    display.message(UpdaterDisplay::ERROR, "Could not get Device Identifier");
    display.message(UpdaterDisplay::ERROR, "%s", kNothingWrittenLine);
    return noteFailure(UpdateOutcome::Step::Identification, identificationFault, State::Unchanged);
  }
  unsigned int recoveryBuild = build;
  if (birdFile.empty()) {
    unsigned int serverBuild = 0;
    std::string cause;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serial, &serverBuild, serverUrl.c_str(), &cause)) {
      Log::log(DEBUG_Updater, "No recovery information from the server for %08X %08X %08X %08X\n",
               fingerprint.words[0], fingerprint.words[1], fingerprint.words[2], fingerprint.words[3]);
    }
    recoveryBuild = build != 0 ? build : serverBuild;
    lastOutcome.serial = serial;
    // Without a device and a build there is no file to look for: nothing is asked for or stored
    // under serial number or build 0.
    if (serial == 0 || recoveryBuild == 0) {
      if (!cause.empty()) _display_recovery_query_failure(display, fingerprint, cause);
      display.message(UpdaterDisplay::ERROR, "The update server named no recovery image for this chip");
      display.message(UpdaterDisplay::ERROR, "Failed to load bird file");
      display.message(UpdaterDisplay::ERROR, "%s", kNothingWrittenLine);
      if (!cause.empty()) return noteFailure(UpdateOutcome::Step::Server, "recovery query failed: " + cause, State::Unchanged);
      return noteFailure(UpdateOutcome::Step::Build, "the update server named no recovery image for this chip",
                         State::Unchanged);
    }
  }
  lastOutcome.fileBuild = recoveryBuild;

  BirdFile bird;
  try {
    bird = load_bird("Recovering", birdFile, serial, recoveryBuild, true);
  } catch (const std::exception& error) {
    Log::log(DEBUG_Updater, "%s\n", error.what());
    display.message(UpdaterDisplay::ERROR, "Failed to load bird file");
    display.message(UpdaterDisplay::ERROR, "%s", kNothingWrittenLine);
    return noteFailure(UpdateOutcome::Step::File, error.what(), State::Unchanged);
  }
  if (bird.GetBuild() != 0) lastOutcome.fileBuild = bird.GetBuild();
  lastOutcome.file = birdFile.empty() ? bird.filename : birdFile;
  if (bird.serialReplaceable) {
    display.message(UpdaterDisplay::ERROR, "Updater does not support offline recovery");
    display.message(UpdaterDisplay::ERROR, "%s", kNothingWrittenLine);
    return noteFailure(UpdateOutcome::Step::Validation, "the file is for offline recovery, which is not supported",
                       State::Unchanged);
  }

  bool recovered = false;
  switch (recoveryChip) {
    case RecoveryChip::IMX:
      (void)noteFailure(Step::Firmware, "the live loader did not take the firmware", State::FlashMayBeErased);
      recovered = _recover_firmware_imx(display, bird, serial);
      if (recovered) return verifyRecovery(serial, bird, start);
      display.message(UpdaterDisplay::INFO, "Update time: %.4f sec",
                      static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
      // The live loader runs from RAM; the firmware it was writing may be incomplete.
      return failOutcome(UpdateOutcome::Step::Firmware, "the live loader did not take the firmware",
                         UpdateOutcome::DeviceState::FlashMayBeErased);
    case RecoveryChip::LPC: {
      bird.DecodeFirmwareBlocks(fingerprint.words);
      (void)noteFailure(Step::Flash, "the flash was not written and checked whole", State::FlashMayBeErased);
      lpc_recovery::FlashFault fault;
      recovered = _recover_firmware_lpc(display, bird, port, baud, fingerprint, &fault);
      recordLpcRecovery(recovered, fault);
      break;
    }
    default:
      display.message(UpdaterDisplay::ERROR, "Unknown device");
      (void)noteFailure(Step::Identification, "unknown chip", State::Unchanged);
      break;
  }
  display.message(UpdaterDisplay::INFO, "Update time: %.4f sec",
                  static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
  return recovered;
}

// An LPC chip is started at the end of a session that checked every piece it wrote: its build is
// not read back (it has no link to the module's firmware). A failed session leaves the flash as
// its fault says.
void Updater::recordLpcRecovery(bool recovered, const lpc_recovery::FlashFault& fault) {
  using State = UpdateOutcome::DeviceState;
  using Flash = lpc_recovery::FlashFault::Flash;
  if (recovered) {
    lastOutcome = recoveredOutcome(lastOutcome);
    return;
  }
  State state = State::FlashMayBeErased;
  if (fault.flash == Flash::Untouched) {
    state = State::Unchanged;
  } else if (fault.flash == Flash::WrittenNotStarted) {
    state = State::InLoader;
  }
  (void)noteFailure(UpdateOutcome::Step::Flash, fault.cause, state);
}

// The live loader rebooted the module into the firmware it was given: the module must come back
// under its own serial number (USB, then TCP/IP) running the recovery build.
bool Updater::verifyRecovery(unsigned int serial, const BirdFile& bird, uint64_t start) {
  const std::string file = lastOutcome.file;
  lastOutcome = UpdateOutcome();
  lastOutcome.serial = serial;
  lastOutcome.file = file;
  lastOutcome.fileBuild = bird.GetBuild();
  Module device(0, 0);
  auto lookAgain = [&] {
    aErr found = device.connect(linkTypeUSB, serial);
    return found == aErrNotFound ? device.connect(linkTypeTCPIP, serial) : found;
  };
  OutcomeLine outcome;
  const bool verified = verifyOutcome(device, serial, lookAgain, false, false, &outcome);
  (void)device.disconnect();  // always aErrNone
  display.message(UpdaterDisplay::INFO, "Update time: %.4f sec",
                  static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
  display.message(outcome.level, "%s", outcome.text.c_str());
  return verified;
}

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, std::string port, unsigned int serial,
                              std::string birdFile, unsigned int baud, bool reset) {
  // "USB" names the i.MX boot ROM's HID device, never a serial port: a file of that name in the
  // working directory is not opened as one.
  std::string lpcFault;
  identificationFault.clear();
  if (port != kUsbPort) {
    InterruptGuard interruptible;
    bool lpcAnswered = false;
    if (_get_fingerprint_lpc(port, baud, fingerprint, &lpcFault, &lpcAnswered)) {
      recoveryChip = RecoveryChip::LPC;
      return true;
    }
    if (InterruptGuard::Requested()) {
      identificationFault = std::string("interrupted by ") + InterruptGuard::SignalName();
      display.message(UpdaterDisplay::ERROR, "Identification interrupted by %s; the port is closed",
                      InterruptGuard::SignalName());
      return false;
    }
    // Another program's port is left alone: no i.MX boot ROM is looked for on it either.
    if (IsSerialPortInUse(lpcFault)) {
      identificationFault = lpcFault;
      display.message(UpdaterDisplay::ERROR, "Identification failed: %s", lpcFault.c_str());
      return false;
    }
    // An LPC boot ROM answered but could not be identified: an i.MX loader sent to it would only
    // feed it garbage, and the fault to tell is the LPC one.
    if (lpcAnswered) {
      recoveryChip = RecoveryChip::LPC;
      identificationFault = lpcFault;
      display.message(UpdaterDisplay::ERROR, "Identification failed: %s; nothing was written, run it again",
                      lpcFault.c_str());
      return false;
    }
  }
  recoveryChip = RecoveryChip::IMX;
  std::string imxFault;
  if (_get_fingerprint_imx(display, *this, port, serial, birdFile, fingerprint, reset, &imxFault)) return true;
  // A port that cannot be opened fails both the same way: its reason is the one to tell.
  if (IsSerialPortFault(lpcFault)) {
    identificationFault = lpcFault;
  } else if (!lpcFault.empty() && !imxFault.empty()) {
    identificationFault = lpcFault + ", and " + imxFault;
  } else if (!imxFault.empty()) {
    identificationFault = imxFault;
  } else {
    identificationFault = lpcFault.empty() ? "no boot ROM answered" : lpcFault;
  }
  if (IsSerialPortFault(lpcFault) || !imxFault.empty()) {
    display.message(UpdaterDisplay::ERROR, "Identification failed: %s", identificationFault.c_str());
  }
  return false;
}

// ---- Identification and the chip families' procedures -------------------------------------------

bool engine::_get_fingerprint_lpc(std::string port, unsigned int baud, Fingerprint& fingerprint, std::string* why,
                                  bool* answered) {
  return lpc_recovery::ReadDeviceId(port, baud, fingerprint.words, why, answered);
}

bool engine::_get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, std::string port, unsigned int serial,
                          std::string birdFile, Fingerprint& fingerprint, bool reset, std::string* why) {
  if (serial == 0) serial = kPlaceholderSerialNumber;
  BirdFile bird;
  if (!loadLiveLoaderFile(display, updater, updater.StoreDirectory(), serial, birdFile, bird, why)) return false;
  // A damaged file is not fed to the boot ROM: its loader may be cut short.
  const std::string damage = _bird_integrity_refusal(bird);
  if (!damage.empty()) {
    tell(why, FormattedText("the live loader file %s is damaged: %s", bird.filename.c_str(), damage.c_str()));
    return false;
  }
  return imx_recovery::ReadUniqueId(display, bird, port, serial, fingerprint.words, reset, why);
}

int engine::_transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& bird, std::string port, std::string* why) {
  return imx_recovery::TransferLiveLoader(display, bird, port, why);
}

bool engine::_recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& bird, unsigned int serial) {
  Module module(0, 0);
  std::vector<unsigned int> serials{kPlaceholderSerialNumber};
  // Serial number 0 would connect to whichever module is found first.
  if (serial != 0 && serial != kPlaceholderSerialNumber) serials.push_back(serial);
  if (!imx_recovery::connectLiveLoader(module, serials)) {
    display.message(UpdaterDisplay::ERROR, "Could not connect to device");
    return false;
  }
  if (_transfer_firmware(display, module, bird) != aErrNone) {
    display.message(UpdaterDisplay::ERROR, "Failed to transfer firmware");
    return false;
  }
  return true;
}

bool engine::_recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& bird, std::string& port, unsigned int baud,
                                   Fingerprint& /*fingerprint: the image is decoded already*/,
                                   lpc_recovery::FlashFault* fault) {
  return lpc_recovery::FlashFirmware(display, bird.FindBlocks(BirdFile::BLOCK_FIRMWARE), bird.filename, port, baud,
                                     fault);
}

void engine::_display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint) {
  display.message(UpdaterDisplay::INFO, "[ %08X %08X %08X %08X ]", fingerprint.words[0], fingerprint.words[1],
                  fingerprint.words[2], fingerprint.words[3]);
}
