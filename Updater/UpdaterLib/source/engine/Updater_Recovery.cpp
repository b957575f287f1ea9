// Serial recovery (-U -t RECOVER) and chip identification (-N) of a module whose firmware no
// longer starts, through its processor's boot ROM: an LPC chip is identified and flashed over its
// ISP serial protocol; an i.MX chip is sent a live loader over the Serial Download Protocol (USB
// HID or a serial port), identified through that loader over USB and updated through it.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "aRetry.h"
#include "aStream.h"
#include "aTime.h"
#include "engine/Updater.h"
#include "engine/UpdaterSteps.h"
#include "firmware/BirdFile.h"
#include "firmware/BirdFileCheck.h"
#include "recovery/imx/HID_SDPLoader.h"
#include "recovery/imx/SDPLoader.h"
#include "recovery/imx/Serial_SDPLoader.h"
#include "recovery/lpc/NXPSerialClass.h"
#include "server/UpdateServerRequest.h"
#include "store/UpdaterStore.h"
#include "support/InterruptGuard.h"
#include "support/PlaceholderSerial.h"
#include "support/TestHook.h"

using Tessaron::Halyard::Module;
using Tessaron::Halyard::SystemClass;

using namespace engine;

namespace {

using UpdaterDisplay = UpdaterDisplayInterface;

// The LPC identification always synchronises at this rate; the chip keeps it afterwards.
constexpr unsigned int kIdentificationBaud = 115200;
constexpr const char* kUsbPort = "USB";
constexpr unsigned int kDefaultLoaderEntry = 0x20000400;

// The live loader comes up on USB some time after the boot ROM jumped to it: it is looked for every
// 200 ms, for 15 s in all. One that an earlier run started is there already, though it may still
// be letting go of that run's link: it is looked for for 3 s.
constexpr unsigned kLoaderConnectAttempts = 75;
constexpr unsigned kRunningLoaderAttempts = 15;
constexpr unsigned long kLoaderConnectPauseMs = 200;

// LPC flash: every sector is erased, images are staged in RAM in pieces of at most 4096 bytes.
constexpr unsigned int kFirstSector = 0;
constexpr unsigned int kLastSector = 29;
constexpr unsigned int kPieceSize = 4096;
constexpr uint32_t kFlashEnd = 0x80000;
constexpr unsigned int kCopyAlignment = 256;
// The value of erased flash: programming it changes nothing.
constexpr unsigned char kErasedByte = 0xFF;
// While the boot ROM runs, reads of flash below this address show the ROM's own vectors.
constexpr uint32_t kRomVectorsEnd = 0x40;
// A firmware block whose image is this long ends a recovery image.
constexpr uint32_t kEndBlockImageLength = 4;

// Results of _transfer_recovery_loader.
constexpr int kLoaderTransferred = 0;
constexpr int kLoaderNoTransport = 11;
constexpr int kLoaderWriteFailed = 25;

uint32_t bigEndian32(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | static_cast<uint32_t>(bytes[3]);
}

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, pattern);
  vsnprintf(text, sizeof text, pattern, arguments);
  va_end(arguments);
  return text;
}

void tell(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
}

// Why a serial port could not be opened: the system's reason when the open left one.
constexpr const char* kPortFaultStart = "serial port ";
std::string portInUse(const std::string& port) {
  int holder = aSerial_PortHolder(port.c_str());
  if (holder > 0) {
    return format("%s%s is in use by another program (process %d)", kPortFaultStart, port.c_str(), holder);
  }
  return format("%s%s is in use by another program", kPortFaultStart, port.c_str());
}

bool isPortInUse(const std::string& why) {
  return why.rfind(kPortFaultStart, 0) == 0 && why.find(" is in use by another program") != std::string::npos;
}

std::string portFault(const std::string& port, aErr result, int error) {
  if (result == aErrBusy || error == EBUSY) return portInUse(port);
  const char* reason = error != 0 ? strerror(error) : aError_GetErrorText(result);
  return format("%s%s could not be opened: %s", kPortFaultStart, port.c_str(), reason);
}

bool isPortFault(const std::string& why) { return why.rfind(kPortFaultStart, 0) == 0; }

// Opens port for chip; on failure *why says why.
aErr connectChip(NXPSerialClass& chip, const std::string& port, unsigned int baud, std::string* why) {
  errno = 0;
  aErr result = chip.Connect(port.c_str(), baud);
  if (result != aErrNone) tell(why, portFault(port, result, errno));
  return result;
}

// Why a command of chip did not succeed: refused with a return code, no return code within the
// time the command may take, an interruption, or the port.
std::string commandFault(const NXPSerialClass& chip, aErr result) {
  if (result == aErrCancel) return format("interrupted by %s", InterruptGuard::SignalName());
  switch (chip.LastReply()) {
    case NXPSerialClass::Reply::Refused: {
      int code = chip.LastReturnCode();
      const char* name = code >= 0 && code <= NXPSerialClass::MAX_ERROR ? NXPSerialClass::ERROR_TEXT[code]
                                                                         : "Unknown error";
      return format("the chip refused it with return code %d (%s)", code, name);
    }
    case NXPSerialClass::Reply::Silent:
      return format("the chip did not confirm it within %.1f s",
                    static_cast<double>(chip.LastWaitMs()) / 1000.0);
    default:
      break;
  }
  if (result == aErrTimeout) return "the chip rejected the data's checksum three times";
  if (result == aErrIO) return "the chip gave no valid answer to a data checksum";
  return format("the serial port failed (%s)", aError_GetErrorText(result));
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

// ---- LPC flash plan ----------------------------------------------------------------------------

// One piece of a firmware image: staged in RAM, then copied to flash. The copy moves copyLength
// bytes (a size the chip accepts); what lies past the piece is staged as erased flash, so the
// copy never programs anything but the image.
struct FlashPiece {
  uint32_t offset;
  uint32_t length;
  uint32_t flashAddress;
  uint32_t copyLength;
};

struct FlashBlock {
  const BirdBlock* block;
  std::vector<FlashPiece> pieces;
};

// The firmware blocks to write, in file order, up to the block that ends a recovery image.
std::vector<FlashBlock> planFlashBlocks(const std::vector<BirdBlock>& firmware) {
  std::vector<FlashBlock> plan;
  for (const BirdBlock& block : firmware) {
    if (block.imageLength() == kEndBlockImageLength) break;
    FlashBlock entry{&block, {}};
    uint32_t piece = kPieceSize;
    for (uint32_t offset = 0; offset < block.imageLength(); offset += piece) {
      if (block.imageLength() - offset < piece) piece = block.imageLength() - offset;
      entry.pieces.push_back({offset, piece, block.address + offset, NXPSerialClass::CopyLength(piece)});
    }
    plan.push_back(entry);
  }
  return plan;
}

// A plan the chip can carry out: something to write, every copy on a 256-byte boundary and inside
// the flash. Checked before the flash is erased, so that a bad image cannot leave a blank chip.
bool planFitsFlash(UpdaterDisplay& display, const std::vector<FlashBlock>& plan) {
  uint64_t bytes = 0;
  for (size_t number = 0; number < plan.size(); ++number) {
    for (const FlashPiece& piece : plan[number].pieces) {
      bytes += piece.length;
      uint64_t end = static_cast<uint64_t>(piece.flashAddress) + piece.copyLength;
      if (piece.flashAddress % kCopyAlignment != 0 || end > kFlashEnd) {
        display.message(UpdaterDisplay::ERROR,
                        "Firmware block %d does not fit the chip's flash (address 0x%08X, %u bytes)",
                        static_cast<int>(number + 1), plan[number].block->address,
                        plan[number].block->imageLength());
        return false;
      }
    }
  }
  if (bytes == 0) {
    display.message(UpdaterDisplay::ERROR, "Bird file holds no firmware to recover");
    return false;
  }
  return true;
}

constexpr const char* kFlashUntouched = "the flash is untouched";
constexpr const char* kFlashMaybeErased = "the flash may be erased";
constexpr const char* kFlashPartlyWritten = "the flash is erased or partly written";
constexpr const char* kFlashDamaged = "the flash holds a damaged image";

// What the module is left as and what to do next, for a flash in the given state: the line that
// follows every failure of the flash session.
void adviseOnFlash(UpdaterDisplay& display, const char* flashState) {
  if (flashState == kFlashUntouched) {
    display.message(UpdaterDisplay::ERROR,
                    "Nothing was written: the module's flash is as it was and its chip waits in its boot ROM; "
                    "run the recovery again");
  } else {
    display.message(UpdaterDisplay::ERROR,
                    "The module has no sound firmware now and was not started; run the recovery again to write it");
  }
}

// Reports a failed flash step: one line with the step, the cause, and what the flash now holds,
// then what to do next.
void reportFlashFault(UpdaterDisplay& display, const NXPSerialClass& chip, aErr result, const std::string& step,
                      const char* flashState) {
  if (result == aErrCancel) {
    display.message(UpdaterDisplay::ERROR, "Recovery interrupted by %s at %s: %s; run the recovery again",
                    InterruptGuard::SignalName(), step.c_str(), flashState);
    return;
  }
  display.message(UpdaterDisplay::ERROR, "Recovery failed at %s: %s; %s", step.c_str(),
                  commandFault(chip, result).c_str(), flashState);
  adviseOnFlash(display, flashState);
}

// A piece failed while its block's progress bar is shown: the bar ends before the error line.
void reportPieceFault(UpdaterDisplay& display, const NXPSerialClass& chip, aErr result, const std::string& step) {
  display.display_progress(false);
  reportFlashFault(display, chip, result, step, kFlashPartlyWritten);
}

// The chip compares the flash a copy wrote with the RAM it came from: a cell that did not take is
// found here, before the chip is started, at the cost of the chip's compare time and one short
// command. While the boot ROM runs it shows its own vectors over flash 0x00-0x3F, so a piece there
// is compared from 0x40 on.
bool checkFlashPiece(UpdaterDisplay& display, NXPSerialClass& chip, const FlashPiece& piece) {
  const unsigned int staging = NXPSerialClass::WRITE_ADDRESS;
  const uint32_t skip = piece.flashAddress < kRomVectorsEnd ? kRomVectorsEnd - piece.flashAddress : 0;
  if (skip >= piece.copyLength) return true;
  const uint32_t count = piece.copyLength - skip;
  Log::log(DEBUG_Updater, "\t Compare %d bytes at %08X with %08X\n", static_cast<int>(count),
           piece.flashAddress + skip, staging + skip);
  unsigned int difference = 0;
  aErr result = chip.Compare(piece.flashAddress + skip, staging + skip, count, &difference);
  if (result == aErrNone) return true;
  Log::log(DEBUG_Updater, "\t Compare failed\n");
  const std::string step = format("the check of %u bytes of flash 0x%08X", count, piece.flashAddress + skip);
  if (result != aErrParam || chip.LastReturnCode() != NXPSerialClass::COMPARE_ERROR) {
    reportPieceFault(display, chip, result, step);
    return false;
  }
  display.display_progress(false);
  display.message(UpdaterDisplay::ERROR, "Recovery failed at %s: flash 0x%08X differs from what was written; %s",
                  step.c_str(), piece.flashAddress + skip + difference, kFlashDamaged);
  adviseOnFlash(display, kFlashDamaged);
  return false;
}

bool writeFlashPiece(UpdaterDisplay& display, NXPSerialClass& chip, const BirdBlock& block, size_t number,
                     const FlashPiece& piece) {
  const unsigned int staging = NXPSerialClass::WRITE_ADDRESS;
  Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", static_cast<int>(piece.length),
           piece.flashAddress);
  std::vector<unsigned char> staged(piece.copyLength, kErasedByte);
  std::copy(block.image() + piece.offset, block.image() + piece.offset + piece.length, staged.begin());
  Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", static_cast<int>(staged.size()), staging);
  aErr result = chip.Write(staging, static_cast<unsigned int>(staged.size()), staged.data());
  if (result != aErrNone) {
    Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
    reportPieceFault(display, chip, result,
                     format("the write of %zu bytes of block %zu (for flash 0x%08X) into the chip's RAM",
                            staged.size(), number, piece.flashAddress));
    return false;
  }
  unsigned int first = NXPSerialClass::SectorFromAddress(piece.flashAddress);
  unsigned int last = NXPSerialClass::SectorFromAddress(piece.flashAddress + piece.copyLength - 1);
  Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", static_cast<int>(first),
           static_cast<int>(last));
  result = chip.Prepare(first, last);
  if (result != aErrNone) {
    Log::log(DEBUG_Updater, "\t Prepare failed\n");
    reportPieceFault(display, chip, result,
                     format("the preparation of sectors %u to %u for flash 0x%08X", first, last, piece.flashAddress));
    return false;
  }
  Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", static_cast<int>(piece.copyLength), staging,
           piece.flashAddress);
  result = chip.CopyToFlash(piece.flashAddress, staging, piece.copyLength);
  if (result != aErrNone) {
    Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
    reportPieceFault(display, chip, result,
                     format("the copy of %u bytes to flash 0x%08X", piece.copyLength, piece.flashAddress));
    return false;
  }
  return checkFlashPiece(display, chip, piece);
}

// Whether the chip answers the probe on the port as it is now opened.
bool chipAnswers(NXPSerialClass& chip) {
  bool answered = false;
  return chip.Probe(&answered, NXPSerialClass::QUIET_CHIP_WAIT_MS) == aErrNone && answered;
}

// Moves the chip and the port from the rate the chip was identified at to rate: the chip's rate
// command (answered at the old rate), the port opened again at the new one, and the chip must
// answer there before the flash is touched. A chip that does not is put back to the old rate.
bool switchRate(UpdaterDisplay& display, NXPSerialClass& chip, const std::string& port, unsigned int rate) {
  const std::string step = format("the change to %u baud", rate);
  Log::log(DEBUG_Updater, "\n\tSwitch to %u baud:\n", rate);
  aErr result = chip.SetBaudRate(rate);
  if (result != aErrNone) {
    reportFlashFault(display, chip, result, step, kFlashUntouched);
    return false;
  }
  std::string fault;
  if (connectChip(chip, port, rate, &fault) != aErrNone) {
    display.message(UpdaterDisplay::ERROR, "Recovery failed at %s: %s; %s", step.c_str(), fault.c_str(),
                    kFlashUntouched);
    adviseOnFlash(display, kFlashUntouched);
    return false;
  }
  if (chipAnswers(chip)) return true;
  if (InterruptGuard::Requested()) {
    reportFlashFault(display, chip, aErrCancel, step, kFlashUntouched);
    return false;
  }
  Log::log(DEBUG_Updater, "No answer at %u baud: back to %u baud\n", rate, kIdentificationBaud);
  (void)chip.SetBaudRate(kIdentificationBaud);  // the chip may hear it though its answers do not come through
  bool back = connectChip(chip, port, kIdentificationBaud, nullptr) == aErrNone && chipAnswers(chip);
  display.message(UpdaterDisplay::ERROR, "Recovery failed at %s: the chip did not answer at %u baud %s; %s",
                  step.c_str(), rate,
                  back ? format("and was put back to %u baud", kIdentificationBaud).c_str()
                       : format("and did not answer at %u baud either", kIdentificationBaud).c_str(),
                  kFlashUntouched);
  if (back) {
    display.message(UpdaterDisplay::ERROR,
                    "Nothing was written: the module's flash is as it was and its chip waits in its boot ROM; "
                    "run the recovery again at %u baud", kIdentificationBaud);
  } else {
    display.message(UpdaterDisplay::ERROR,
                    "Nothing was written, but the chip no longer answers: reset the module into its boot ROM "
                    "and run the recovery again");
  }
  return false;
}

// A flash session that fails after the switch to another rate puts a chip that still listens back
// to the rate the next run identifies it at (without the stop check: an interrupted run too).
class RateRestorer {
 public:
  explicit RateRestorer(NXPSerialClass& chip) : chip_(chip) {}
  ~RateRestorer() {
    if (!armed_) return;
    chip_.SetStopCheck(nullptr);
    (void)chip_.SetBaudRate(kIdentificationBaud);  // best effort on a session that already failed
  }
  RateRestorer(const RateRestorer&) = delete;
  RateRestorer& operator=(const RateRestorer&) = delete;
  void arm(bool on) { armed_ = on; }

 private:
  NXPSerialClass& chip_;
  bool armed_ = false;
};

// Unlock, prepare and erase the whole flash of a chip that is still synchronised.
bool eraseFlash(UpdaterDisplay& display, NXPSerialClass& chip) {
  Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
  aErr result = chip.Unlock();
  if (result != aErrNone) {
    Log::log(DEBUG_Network, "Could not unlock\n");
    reportFlashFault(display, chip, result, "the unlock of the flash", kFlashUntouched);
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
  result = chip.Prepare(kFirstSector, kLastSector);
  if (result != aErrNone) {
    Log::log(DEBUG_Network, "Could not prepare\n");
    reportFlashFault(display, chip, result, format("the preparation of sectors %u to %u", kFirstSector, kLastSector),
                     kFlashUntouched);
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
  result = chip.Erase(kFirstSector, kLastSector);
  if (result != aErrNone) {
    Log::log(DEBUG_Network, "Could not erase\n");
    reportFlashFault(display, chip, result, format("the erase of sectors %u to %u", kFirstSector, kLastSector),
                     chip.LastReply() == NXPSerialClass::Reply::Refused ? kFlashUntouched : kFlashMaybeErased);
    return false;
  }
  return true;
}

// ---- i.MX live loader --------------------------------------------------------------------------

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
      tell(why, format("the live loader file %s could not be loaded (%s)", birdFile.c_str(), error.what()));
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
      tell(why, format("no live loader for %08X: none in the store and none from the update server", serial));
      return false;
    }
    bird = item.ReadBirdFile(fileName.c_str());
    return true;
  } catch (const std::exception& error) {
    Log::log(DEBUG_APP, "%s\n", error.what());
    tell(why, format("the live loader for %08X could not be loaded (%s)", serial, error.what()));
    return false;
  }
}

// Connects module over USB to the first of serials that answers, in up to rounds rounds 200 ms apart.
bool connectLiveLoader(Module& module, const std::vector<unsigned int>& serials,
                       unsigned rounds = kLoaderConnectAttempts) {
  rounds = std::min(rounds, static_cast<unsigned>(TestHook_LongWaitMs(rounds * kLoaderConnectPauseMs) /
                                                      kLoaderConnectPauseMs + 1));
  aErr found = RetryBounded(
      rounds, kLoaderConnectPauseMs,
      [&](unsigned round) {
        aErr result = aErrNotFound;
        for (unsigned int serial : serials) {
          result = module.discoverAndConnect(linkTypeUSB, serial);
          Log::log(DEBUG_Updater, "Looking for the live loader %08X, round %u of %u: %d\n", serial, round, rounds,
                   static_cast<int>(result));
          if (result == aErrNone) break;
        }
        return result;
      },
      RetryPause::Between);
  return found == aErrNone;
}

// The serial numbers a live loader may answer under: the device's, then the placeholder.
std::vector<unsigned int> liveLoaderSerials(unsigned int serial) {
  std::vector<unsigned int> serials{serial};
  if (serial != kPlaceholderSerialNumber) serials.push_back(kPlaceholderSerialNumber);
  return serials;
}

// The boot ROM's answer to a live loader that failed, in words.
std::string loaderTransferFault(int sdpResult, const std::string& port) {
  const std::string where = port == kUsbPort ? std::string("on USB") : "on " + port;
  switch (sdpResult) {
    case SDPLoader::SDP_NO_ANSWER:
      return "the i.MX boot ROM " + where + " did not answer its status check";
    case SDPLoader::SDP_TRANSFER_INTERRUPTED:
      return "the i.MX boot ROM " + where + " broke off the live loader's transfer";
    case SDPLoader::SDP_FILE_NOT_ACCEPTED:
      return "the i.MX boot ROM " + where + " did not accept the live loader";
    case SDPLoader::SDP_NEEDS_POWER_CYCLE:
      return format("the i.MX boot ROM %s did not answer its status check, even after %zu KiB to end an "
                    "interrupted write (the board needs a power cycle)",
                    where.c_str(), SDPLoader::LARGEST_PENDING_WRITE / 1024);
    case SDPLoader::SDP_TRANSFER_STOPPED:
      return format("the live loader's transfer was interrupted by %s", InterruptGuard::SignalName());
    case SDPLoader::SDP_OK:
      return "the live loader file holds no usable loader block";
    default:
      return "no i.MX boot ROM " + where;
  }
}

std::unique_ptr<SDPLoader_Interface> bootRomTransport(const std::string& port) {
  if (port == kUsbPort) {
    return std::make_unique<HID_SDPLoader>(HID_SDPLoader::IMX_VENDOR_ID, HID_SDPLoader::IMX_PRODUCT_ID);
  }
  return std::make_unique<Serial_SDPLoader>(port.c_str());
}

}  // namespace

// ---- Recovery ----------------------------------------------------------------------------------

namespace {

UpdateOutcome recoveredOutcome(const UpdateOutcome& during) {
  UpdateOutcome recovered;
  recovered.serial = during.serial;
  recovered.fileBuild = during.fileBuild;
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
    return false;
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
      return noteFailure(Step::Build, "the update server named no recovery image for this chip", State::Unchanged);
    }
  }

  BirdFile bird;
  try {
    bird = load_bird("Recovering", birdFile, serial, recoveryBuild, true);
  } catch (const std::exception& error) {
    Log::log(DEBUG_Updater, "%s\n", error.what());
    display.message(UpdaterDisplay::ERROR, "Failed to load bird file");
    display.message(UpdaterDisplay::ERROR, "%s", kNothingWrittenLine);
    return noteFailure(Step::File, error.what(), State::Unchanged);
  }
  lastOutcome.fileBuild = bird.GetBuild();
  if (bird.serialReplaceable) {
    display.message(UpdaterDisplay::ERROR, "Updater does not support offline recovery");
    display.message(UpdaterDisplay::ERROR, "%s", kNothingWrittenLine);
    return noteFailure(Step::Validation, "offline recovery is not supported", State::Unchanged);
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
      lastOutcome.serial = serial;
      return failOutcome(UpdateOutcome::Step::Firmware, "the live loader did not take the firmware",
                         UpdateOutcome::DeviceState::FlashMayBeErased);
    case RecoveryChip::LPC:
      bird.DecodeFirmwareBlocks(fingerprint.words);
      (void)noteFailure(Step::Flash, "the flash was not written and checked whole", State::FlashMayBeErased);
      recovered = _recover_firmware_lpc(display, bird, port, baud, fingerprint);
      // The flash was written, each piece checked, and the chip started; its build is not read.
      if (recovered) lastOutcome = recoveredOutcome(lastOutcome);
      break;
    default:
      display.message(UpdaterDisplay::ERROR, "Unknown device");
      (void)noteFailure(Step::Identification, "unknown chip", State::Unchanged);
      break;
  }
  display.message(UpdaterDisplay::INFO, "Update time: %.4f sec",
                  static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
  return recovered;
}

// The live loader rebooted the module into the firmware it was given: the module must come back
// under its own serial number (USB, then TCP/IP) running the recovery build.
bool Updater::verifyRecovery(unsigned int serial, const BirdFile& bird, uint64_t start) {
  lastOutcome = UpdateOutcome();
  lastOutcome.serial = serial;
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
  if (port != kUsbPort) {
    InterruptGuard interruptible;
    bool lpcAnswered = false;
    if (_get_fingerprint_lpc(port, baud, fingerprint, &lpcFault, &lpcAnswered)) {
      recoveryChip = RecoveryChip::LPC;
      return true;
    }
    if (InterruptGuard::Requested()) {
      display.message(UpdaterDisplay::ERROR, "Identification interrupted by %s; the port is closed",
                      InterruptGuard::SignalName());
      return false;
    }
    // Another program's port is left alone: no i.MX boot ROM is looked for on it either.
    if (isPortInUse(lpcFault)) {
      display.message(UpdaterDisplay::ERROR, "Identification failed: %s", lpcFault.c_str());
      return false;
    }
    // An LPC boot ROM answered but could not be identified: an i.MX loader sent to it would only
    // feed it garbage, and the fault to tell is the LPC one.
    if (lpcAnswered) {
      recoveryChip = RecoveryChip::LPC;
      display.message(UpdaterDisplay::ERROR, "Identification failed: %s; nothing was written, run it again",
                      lpcFault.c_str());
      return false;
    }
  }
  recoveryChip = RecoveryChip::IMX;
  std::string imxFault;
  if (_get_fingerprint_imx(display, *this, port, serial, birdFile, fingerprint, reset, &imxFault)) return true;
  // A port that cannot be opened fails both the same way: its reason is the one to tell.
  if (isPortFault(lpcFault)) {
    display.message(UpdaterDisplay::ERROR, "Identification failed: %s", lpcFault.c_str());
  } else if (!lpcFault.empty() && !imxFault.empty()) {
    display.message(UpdaterDisplay::ERROR, "Identification failed: %s, and %s", lpcFault.c_str(), imxFault.c_str());
  } else if (!imxFault.empty()) {
    display.message(UpdaterDisplay::ERROR, "Identification failed: %s", imxFault.c_str());
  }
  return false;
}

// ---- Identification ----------------------------------------------------------------------------

namespace {

// A chip left synchronised by an earlier session answers the probe; one in its data phase answers
// it only after the data phase was left; a fresh one answers only the synchronisation.
aErr reachBootRom(NXPSerialClass& chip, bool* identified) {
  aErr result = chip.Probe(identified);
  if (result != aErrNone || *identified) return result;
  Log::log(DEBUG_APP, "\n\tSync to Device:\n");
  result = chip.Sync();
  if (result == aErrNone || result == aErrCancel) return result;
  Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", static_cast<int>(result));
  // A chip still busy with a flash operation that an earlier session started reads nothing until
  // it is done, then answers what its UART kept: silence is given as long as the longest
  // operation, the erase of every sector, before anything more is sent.
  if (chip.BytesReceived() == 0) {
    bool answered = false;
    aErr waiting = chip.AwaitAnyAnswer(NXPSerialClass::EraseWaitMs(kFirstSector, kLastSector), &answered);
    if (waiting != aErrNone) return waiting;
    if (answered) {
      waiting = chip.Probe(identified, NXPSerialClass::QUIET_CHIP_WAIT_MS);
      if (waiting != aErrNone || *identified) return waiting;
    }
  }
  bool left = false;
  aErr leaving = chip.LeaveDataPhase(&left);
  if (leaving != aErrNone) return leaving;
  // No data phase: a chip whose answer to the synchronisation came too late was put back to its
  // start by the fill lines, and takes a second synchronisation as a fresh one.
  if (!left) return chip.Sync() == aErrNone ? aErrNone : result;
  // The chip is known to talk now: its answer gets the time a busy host may need.
  leaving = chip.Probe(identified, NXPSerialClass::QUIET_CHIP_WAIT_MS);
  if (leaving != aErrNone) return leaving;
  return *identified ? aErrNone : result;
}

}  // namespace

bool engine::_get_fingerprint_lpc(std::string port, unsigned int baud, Fingerprint& fingerprint, std::string* why,
                                  bool* answered) {
  NXPSerialClass chip;
  // Whatever the outcome, the caller learns whether an LPC boot ROM spoke on the port.
  struct Tell {
    const NXPSerialClass& chip;
    bool* answered;
    ~Tell() {
      if (answered != nullptr) *answered = chip.AnsweredAsIsp();
    }
  } tellAnswered{chip, answered};
  chip.SetStopCheck(InterruptGuard::Requested);
  aErr opened = connectChip(chip, port, baud, why);
  if (opened != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", static_cast<int>(opened));
    return false;
  }
  bool identified = false;
  aErr result = reachBootRom(chip, &identified);
  if (result != aErrNone) {
    if (result == aErrCancel) {
      tell(why, commandFault(chip, result));
    } else if (chip.AnsweredAsIsp()) {
      tell(why, format("the LPC boot ROM on %s answered but could not be brought back to its commands", port.c_str()));
    } else {
      tell(why, format("no LPC boot ROM answered on %s", port.c_str()));
    }
    return false;
  }
  // The session after this one expects the chip as a synchronisation leaves it: echo on.
  if (identified && !chip.Echo() && chip.SetEcho(true) != aErrNone) {
    tell(why, format("the LPC boot ROM on %s did not turn its echo on again", port.c_str()));
    return false;
  }
  if (!identified) {
    Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
    if (chip.GetDeviceID() != aErrNone) {
      Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
      tell(why, format("the LPC boot ROM on %s did not send its device serial number", port.c_str()));
      return false;
    }
  }
  for (int word = 0; word < 4; ++word) fingerprint.words[word] = chip.DeviceID()[word];
  return true;
}

bool engine::_get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, std::string port, unsigned int serial,
                          std::string birdFile, Fingerprint& fingerprint, bool reset, std::string* why) {
  if (serial == 0) serial = kPlaceholderSerialNumber;
  BirdFile bird;
  if (!loadLiveLoaderFile(display, updater, updater.StoreDirectory(), serial, birdFile, bird, why)) return false;
  // A damaged file is not fed to the boot ROM: its loader may be cut short.
  const std::string damage = _bird_integrity_refusal(bird);
  if (!damage.empty()) {
    tell(why, format("the live loader file %s is damaged: %s", bird.filename.c_str(), damage.c_str()));
    return false;
  }
  // A live loader without the device's identity comes up under the placeholder serial number,
  // as the firmware step expects too.
  Module module(0, 0);
  std::string transferFault;
  if (_transfer_recovery_loader(display, bird, port, &transferFault) != kLoaderTransferred) {
    Log::log(DEBUG_APP, "Error loading liveloader.\n");
    if (isPortInUse(transferFault)) {
      tell(why, transferFault);
      return false;
    }
    // After a jump the boot ROM is gone until the chip is reset, while the live loader that an
    // interrupted run started may still be running: that one will do.
    if (!connectLiveLoader(module, liveLoaderSerials(serial), kRunningLoaderAttempts)) {
      tell(why, transferFault + " and no live loader is running on USB");
      return false;
    }
    Log::log(DEBUG_APP, "Using the live loader already running on USB\n");
  } else if (!connectLiveLoader(module, liveLoaderSerials(serial))) {
    Log::log(DEBUG_APP, "Could not connect to device.\n");
    tell(why, format("the live loader did not come up on USB within %u s",
                     static_cast<unsigned>(kLoaderConnectAttempts * kLoaderConnectPauseMs / 1000)));
    return false;
  }
  SystemClass system;
  system.init(&module, 0);
  for (uint8_t index = 0; index < 4; ++index) {
    uint32_t word = 0;
    aErr result = system.getUniqueIdentifier(index, &word);
    if (result != aErrNone) {
      Log::log(DEBUG_APP, "Error getting Identifier %d.\n", index);
      tell(why, format("the live loader did not give the chip's identifier (%s)", aError_GetErrorText(result)));
      return false;
    }
    fingerprint.words[3 - index] = word;
  }
  if (reset) (void)system.reset();  // the fingerprint is read; the reset only helps
  return true;
}

// ---- i.MX live loader --------------------------------------------------------------------------

namespace {

int transferLoaderBlocks(UpdaterDisplayInterface& display, SDPLoader& loader, BirdFile& bird, int* sdpResult) {
  std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_LOADER);
  // Jumping to an address nothing was written to would start whatever the RAM holds.
  if (blocks.empty()) {
    Log::log(DEBUG_Updater, "The bird file holds no loader block\n");
    return kLoaderWriteFailed;
  }
  int number = 0;
  for (const BirdBlock& block : blocks) {
    if (block.length < 4) {
      Log::log(DEBUG_Updater, "Loader block %d has no load address\n", number);
      return kLoaderWriteFailed;
    }
    std::vector<unsigned char> image(block.image(), block.image() + block.imageLength());
    Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", number, image.size(),
             static_cast<int>(block.address));
    display.display_progress(true);
    *sdpResult = loader.writeLoader(image, block.address,
                                    [&display](double done) { display.update_progress(done, nullptr); });
    display.display_progress(false);
    if (*sdpResult != SDPLoader::SDP_OK) return kLoaderWriteFailed;
    ++number;
  }
  unsigned int entry = kDefaultLoaderEntry;
  std::vector<BirdBlock> starts = bird.FindBlocks(BirdFile::BLOCK_START_ADDRESS);
  if (!starts.empty() && starts.front().length >= 4) entry = bigEndian32(starts.front().data);
  loader.startLoader(entry);
  return kLoaderTransferred;
}

}  // namespace

int engine::_transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& bird, std::string port, std::string* why) {
  // A serial port is left as it was found, also when the run is interrupted; over USB the write
  // stops between frames, and either way the user is told where the run ended.
  InterruptGuard interruptible;
  int result = kLoaderNoTransport;
  int sdpResult = SDPLoader::SDP_INIT_FAILED;
  bool portBusy = false;
  {
    SDPLoader loader;
    loader.setStopCheck(InterruptGuard::Requested);
    std::unique_ptr<SDPLoader_Interface> transport = bootRomTransport(port);
    if (loader.setLoader(std::move(transport))) {
      Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
      errno = 0;
      if (loader.init() == SDPLoader::SDP_OK) {
        sdpResult = SDPLoader::SDP_OK;
        result = transferLoaderBlocks(display, loader, bird, &sdpResult);
      } else if (port != kUsbPort && errno == EBUSY) {
        portBusy = true;
      }
    }
  }
  if (result != kLoaderTransferred) tell(why, portBusy ? portInUse(port) : loaderTransferFault(sdpResult, port));
  if (InterruptGuard::Requested()) {
    display.message(UpdaterDisplay::ERROR, "Recovery interrupted by %s while the live loader was written; %s",
                    InterruptGuard::SignalName(),
                    port == kUsbPort ? "the boot ROM is released, the next run ends the write it began"
                                     : "the port is closed");
  }
  return result;
}

bool engine::_recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& bird, unsigned int serial) {
  Module module(0, 0);
  std::vector<unsigned int> serials{kPlaceholderSerialNumber};
  // Serial number 0 would connect to whichever module is found first.
  if (serial != 0 && serial != kPlaceholderSerialNumber) serials.push_back(serial);
  if (!connectLiveLoader(module, serials)) {
    display.message(UpdaterDisplay::ERROR, "Could not connect to device");
    return false;
  }
  if (_transfer_firmware(display, module, bird) != aErrNone) {
    display.message(UpdaterDisplay::ERROR, "Failed to transfer firmware");
    return false;
  }
  return true;
}

// ---- LPC flash ---------------------------------------------------------------------------------

bool engine::_recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& bird, std::string& port, unsigned int baud,
                           Fingerprint& /*fingerprint: the image is decoded already*/) {
  std::vector<BirdBlock> firmware = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  std::vector<FlashBlock> plan = planFlashBlocks(firmware);
  if (!planFitsFlash(display, plan)) return false;

  // The chip is still synchronised from the identification: no Sync.
  InterruptGuard interruptible;
  NXPSerialClass chip;
  chip.SetStopCheck(InterruptGuard::Requested);
  // The session starts at the rate the chip was identified at; another one is switched to first.
  std::string fault;
  if (connectChip(chip, port, kIdentificationBaud, &fault) != aErrNone) {
    Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
    display.message(UpdaterDisplay::ERROR, "Recovery failed at the start of the flash session: %s; %s",
                    fault.c_str(), kFlashUntouched);
    adviseOnFlash(display, kFlashUntouched);
    return false;
  }
  const unsigned int rate = NXPSerialClass::ConnectRate(baud);
  RateRestorer restorer(chip);
  if (rate != chip.Baud()) {
    if (!switchRate(display, chip, port, rate)) return false;
    restorer.arm(true);
  }
  if (!eraseFlash(display, chip)) return false;
  (void)chip.SetEcho(false);  // a chip that kept its echo fails the next answer
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", bird.filename.c_str());

  const int announced = static_cast<int>(plan.size());
  int totalBytes = 0;
  for (size_t number = 0; number < plan.size(); ++number) {
    const BirdBlock& block = *plan[number].block;
    const uint32_t length = block.imageLength();
    display.message(UpdaterDisplay::INFO, "Transferring firmware block %d of %d, %d bytes",
                    static_cast<int>(number + 1), announced, static_cast<int>(length));
    display.display_progress(true);
    Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n", static_cast<int>(length),
             block.address);
    for (const FlashPiece& piece : plan[number].pieces) {
      if (!writeFlashPiece(display, chip, block, number + 1, piece)) return false;
      display.update_progress(static_cast<double>(piece.offset + piece.length) / length, nullptr);
    }
    display.display_progress(false);
    totalBytes += static_cast<int>(length);
  }

  display.message(UpdaterDisplay::INFO, "Transferred %d blocks, %d total bytes", announced, totalBytes);
  aErr result = chip.SetEcho(true);
  if (result == aErrCancel) {
    display.message(UpdaterDisplay::ERROR,
                    "Recovery interrupted by %s after the flash was written, before the chip was started; "
                    "run the recovery again", InterruptGuard::SignalName());
    return false;
  }
  if (result != aErrNone) {
    display.message(UpdaterDisplay::ERROR, "Recovery Error transfering data to device ==> [%d, %s]",
                    static_cast<int>(result), aError_GetErrorText(result));
    display.message(UpdaterDisplay::ERROR,
                    "The flash holds the new firmware, checked, but the chip was not started; reset the module "
                    "to start it, or run the recovery again");
    return false;
  }
  restorer.arm(false);
  display.message(UpdaterDisplay::INFO, "Rebooting Device");
  (void)chip.ExecuteFrom(0);  // the chip may start before it answers
  return true;
}

void engine::_display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint) {
  display.message(UpdaterDisplay::INFO, "[ %08X %08X %08X %08X ]", fingerprint.words[0], fingerprint.words[1],
                  fingerprint.words[2], fingerprint.words[3]);
}
