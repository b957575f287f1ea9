#pragma once
// The upgrade entity of a module: moves loader and firmware blocks of a bird file into the module
// in small acknowledged packets with a byte-sum check per block, commits firmware chunks, starts
// the loader and reboots the module.
//
// Every packet starts with cmdUPGRADE and an option byte:
//   INIT     host: -                         module: load base (32-bit)
//   DATA     host: 1..26 bytes               module: count accepted (8-bit)
//   LOAD     host: -                         module: any (or it restarts into its loader)
//   PREPARE  host: flags, address (32-bit)   module: STATUS status, block size (16-bit)
//   SUM      host: -                         module: STATUS status, byte sum (32-bit)
//   WRITE    host: length (16-bit)           module: STATUS status
//   REBOOT   host: -                         module: no reply; the link drops
// Numbers are big-endian.
#include <cstdint>
#include <string>

#include "Entity.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

constexpr uint8_t cmdUPGRADE = 95;

constexpr uint8_t val_UPGRADE_INIT = 0;
constexpr uint8_t val_UPGRADE_DATA = 1;
constexpr uint8_t val_UPGRADE_LOAD = 2;
constexpr uint8_t val_UPGRADE_PREPARE = 3;
constexpr uint8_t val_UPGRADE_SUM = 4;
constexpr uint8_t val_UPGRADE_WRITE = 5;
constexpr uint8_t val_UPGRADE_REBOOT = 6;
constexpr uint8_t val_UPGRADE_STATUS = 7;

// Data bytes of one DATA packet (command and option fill the rest of a packet).
constexpr uint32_t kUpgradeDataChunk = 26;
// A chunk the module keeps acknowledging with a wrong count is sent this many more times, then
// the transfer ends with aErrPacket.
constexpr unsigned kUpgradeDataResends = 10;
// LoaderReboot waits at most this long for the link to drop, polling at this period (a module
// drops it within moments of the request), and turns its spinner every so many polls.
constexpr unsigned long kUpgradeRebootWaitMs = 30000;
constexpr unsigned long kUpgradeRebootPollMs = 50;
constexpr unsigned kUpgradeRebootPollsPerSpin = 5;
// _reconnect: attempts with the module's own link, then under the default serial number.
constexpr unsigned kUpgradeReconnectAttempts = 5;
constexpr uint32_t kUpgradeLoaderReconnectDelayMs = 500;
// With answers that can be lost (a module behind a router): a request whose answer is lost is
// asked this many times in all, and a block transfer resumed this many times in a row without
// the module holding one more byte gives up.
constexpr unsigned kUpgradeAsks = 3;
constexpr unsigned kUpgradeStalledResumes = 6;

class UpdaterEntity : public Tessaron::Halyard::EntityClass {
 public:
  UpdaterEntity() = default;
  ~UpdaterEntity() override = default;

  // Answers are taken as lost and asked for again (see askAgainWhenLost) when the module is
  // reached through a router.
  void init(Tessaron::Halyard::Module* module, uint8_t index, bool validate);
  // Whether an answer that does not come is asked for again, within kUpgradeAsks asks, and a
  // block transfer resumes where the module is known to stand, instead of ending at once. Meant
  // for a module behind a router, whose module bus may lose answers.
  void askAgainWhenLost(bool on) { askAgain = on; }

  // Enters the upgrade mode; the load base the module names is only logged.
  [[nodiscard]] aErr LoaderInit();
  // Announces one bird block (block: 4 address bytes, then the image) and receives the number of
  // bytes the module takes per write.
  [[nodiscard]] aErr TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags, uint16_t& blockSize);
  // Sends the image of a loader block as one block transfer.
  [[nodiscard]] aErr LoaderTransfer(const uint8_t* block, uint32_t length);
  // Starts the transferred loader; reconnects when the module restarted into it.
  [[nodiscard]] aErr LoaderStart();
  // Sends the image of a firmware block in chunks of blockSize bytes, each checked and written,
  // with progress on display. Block size 0 is refused (aErrInvalidOption).
  [[nodiscard]] aErr FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize,
                                      UpdaterDisplayInterface& display);
  // Commits the last chunk of length bytes.
  [[nodiscard]] aErr FirmwareWrite(uint32_t length);
  // Reboots the module and waits (at most kUpgradeRebootWaitMs) for its link to drop.
  [[nodiscard]] aErr LoaderReboot(UpdaterDisplayInterface& display);

  // One block transfer: DATA packets of at most 26 bytes, then (when validating) the byte-sum
  // check. packets counts the accepted DATA packets.
  [[nodiscard]] aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& packets);
  // Connects the module again after it dropped its link.
  [[nodiscard]] aErr _reconnect(uint32_t delayMs);

  // Why the operation that just failed did, in the module's terms ("no reply to SUM within
  // 1000 ms"); meaningful only right after a call that returned an error.
  const std::string& Failure() const { return failure; }

 private:
  static const char* requestName(uint8_t option);
  [[nodiscard]] aErr send(uint8_t option, uint8_t length = 0, const uint8_t* data = nullptr);
  // Waits for a reply starting with cmdUPGRADE, option; reply receives its data bytes.
  [[nodiscard]] aErr await(uint8_t option, uint8_t reply[], uint8_t* length);
  // *unanswered (when given) tells that the last DATA got no answer at all.
  [[nodiscard]] aErr sendChunk(const uint8_t* data, uint32_t chunk, bool* unanswered = nullptr);
  [[nodiscard]] aErr validateSum(uint32_t localSum, uint32_t packets);
  // aErrConnection, with the lost link and its cause as the failure.
  [[nodiscard]] aErr linkLost();
  // PREPARE of the block at address (asked again when its answer is lost and askAgain is on).
  [[nodiscard]] aErr prepare(uint8_t flags, uint32_t address, uint16_t& blockSize);
  // WRITE of length bytes; *unanswered tells that no answer came.
  [[nodiscard]] aErr commit(uint32_t length, bool* unanswered);

  // The transfer of an image when answers can be lost (UpdaterEntity_Resume.cpp).
  [[nodiscard]] aErr resumableTransfer(const uint8_t* image, uint32_t length, uint32_t address, uint16_t blockSize,
                                       bool writeChunks, UpdaterDisplayInterface* display);
  [[nodiscard]] aErr sendSegment(const uint8_t* data, uint32_t length, bool writeChunk, uint32_t& checked,
                                 bool& lost);
  [[nodiscard]] aErr askSum(uint32_t& moduleSum);
  // Waits for the STATUS answer of `length` bytes (or a bare refusal of 3): a STATUS answer of
  // another request that came too late is passed over, and taken off the link once this one came.
  [[nodiscard]] aErr awaitStatus(uint8_t length, uint8_t reply[], uint8_t* replyLength);
  // Takes answers that came too late off the link, so none is taken for the next request's.
  void dropLateAnswers();
  [[nodiscard]] aErr fail(aErr result, const char* format, ...) __attribute__((format(printf, 3, 4)));

  Tessaron::Halyard::Module* module = nullptr;
  bool validate = true;
  bool askAgain = false;
  // The block the last successful PREPARE announced: a resumed transfer announces the rest of it.
  bool announced = false;
  uint8_t preparedFlags = 0;
  uint32_t preparedAddress = 0;
  uint8_t request = val_UPGRADE_INIT;  // the option last sent, named in a failure
  std::string failure;
};
