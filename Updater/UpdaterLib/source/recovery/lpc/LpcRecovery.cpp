#include "recovery/lpc/LpcRecovery.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "Log.h"
#include "firmware/BirdFile.h"
#include "recovery/lpc/NXPSerialClass.h"
#include "support/FormattedText.h"
#include "support/InterruptGuard.h"
#include "support/SerialPortFault.h"

using lpc_recovery::kIdentificationBaud;

namespace {

using UpdaterDisplay = UpdaterDisplayInterface;

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

void tell(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
}

// Opens port for chip; on failure *why says why.
aErr connectChip(NXPSerialClass& chip, const std::string& port, unsigned int baud, std::string* why) {
  errno = 0;
  aErr result = chip.Connect(port.c_str(), baud);
  if (result != aErrNone) tell(why, SerialPortFault(port, result, errno));
  return result;
}

// Why a command of chip did not succeed: refused with a return code, no return code within the
// time the command may take, an interruption, or the port.
std::string commandFault(const NXPSerialClass& chip, aErr result) {
  if (result == aErrCancel) return FormattedText("interrupted by %s", InterruptGuard::SignalName());
  switch (chip.LastReply()) {
    case NXPSerialClass::Reply::Refused: {
      int code = chip.LastReturnCode();
      const char* name = code >= 0 && code <= NXPSerialClass::MAX_ERROR ? NXPSerialClass::ERROR_TEXT[code]
                                                                         : "Unknown error";
      return FormattedText("the chip refused it with return code %d (%s)", code, name);
    }
    case NXPSerialClass::Reply::Silent:
      return FormattedText("the chip did not confirm it within %.1f s",
                    static_cast<double>(chip.LastWaitMs()) / 1000.0);
    default:
      break;
  }
  if (result == aErrTimeout) return "the chip rejected the data's checksum three times";
  if (result == aErrIO) return "the chip gave no valid answer to a data checksum";
  return FormattedText("the serial port failed (%s)", aError_GetErrorText(result));
}

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
  const std::string step = FormattedText("the check of %u bytes of flash 0x%08X", count, piece.flashAddress + skip);
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
                     FormattedText("the write of %zu bytes of block %zu (for flash 0x%08X) into the chip's RAM",
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
                     FormattedText("the preparation of sectors %u to %u for flash 0x%08X", first, last, piece.flashAddress));
    return false;
  }
  Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", static_cast<int>(piece.copyLength), staging,
           piece.flashAddress);
  result = chip.CopyToFlash(piece.flashAddress, staging, piece.copyLength);
  if (result != aErrNone) {
    Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
    reportPieceFault(display, chip, result,
                     FormattedText("the copy of %u bytes to flash 0x%08X", piece.copyLength, piece.flashAddress));
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
  const std::string step = FormattedText("the change to %u baud", rate);
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
                  back ? FormattedText("and was put back to %u baud", kIdentificationBaud).c_str()
                       : FormattedText("and did not answer at %u baud either", kIdentificationBaud).c_str(),
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
    reportFlashFault(display, chip, result, FormattedText("the preparation of sectors %u to %u", kFirstSector, kLastSector),
                     kFlashUntouched);
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
  result = chip.Erase(kFirstSector, kLastSector);
  if (result != aErrNone) {
    Log::log(DEBUG_Network, "Could not erase\n");
    reportFlashFault(display, chip, result, FormattedText("the erase of sectors %u to %u", kFirstSector, kLastSector),
                     chip.LastReply() == NXPSerialClass::Reply::Refused ? kFlashUntouched : kFlashMaybeErased);
    return false;
  }
  return true;
}

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

bool lpc_recovery::ReadDeviceId(const std::string& port, unsigned int baud, uint32_t deviceId[4], std::string* why,
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
      tell(why, FormattedText("the LPC boot ROM on %s answered but could not be brought back to its commands", port.c_str()));
    } else {
      tell(why, FormattedText("no LPC boot ROM answered on %s", port.c_str()));
    }
    return false;
  }
  // The session after this one expects the chip as a synchronisation leaves it: echo on.
  if (identified && !chip.Echo() && chip.SetEcho(true) != aErrNone) {
    tell(why, FormattedText("the LPC boot ROM on %s did not turn its echo on again", port.c_str()));
    return false;
  }
  if (!identified) {
    Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
    if (chip.GetDeviceID() != aErrNone) {
      Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
      tell(why, FormattedText("the LPC boot ROM on %s did not send its device serial number", port.c_str()));
      return false;
    }
  }
  for (int word = 0; word < 4; ++word) deviceId[word] = chip.DeviceID()[word];
  return true;
}

bool lpc_recovery::FlashFirmware(UpdaterDisplayInterface& display, const std::vector<BirdBlock>& firmware,
                                 const std::string& fileName, const std::string& port, unsigned int baud) {
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
  Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", fileName.c_str());

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
