#include "module_update/UpdaterEntity.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "Log.h"
#include "SystemClass.h"
#include "aPacket.h"
#include "aRetry.h"
#include "aUEI.h"
#include "module_update/UpdaterEntityReplies.h"
#include "support/InterruptGuard.h"
#include "support/PlaceholderSerial.h"
#include "support/TestHook.h"

using Tessaron::Halyard::EntityClass;
using Tessaron::Halyard::Module;

using namespace updater_entity;

namespace {

constexpr uint8_t kAddressLength = 4;

// A reply wait that ended this much before its time-out was ended by the link going down.
constexpr unsigned long kLinkDropMarginMs = 100;

// A module reached through a router's link (its address kept, not learned from the link) leaves
// that link up when it restarts: its restart shows as its silence.
bool restartedBehindRouter(Module& module) {
  if (module.getNetworkingMode()) return false;
  Tessaron::Halyard::SystemClass system;
  system.init(&module, 0);
  uint8_t address = 0;
  return system.getModule(&address) == aErrTimeout;
}

}  // namespace

const char* UpdaterEntity::requestName(uint8_t option) {
  static const char* const kNames[] = {"INIT", "DATA", "LOAD", "PREPARE", "SUM", "WRITE", "REBOOT", "STATUS"};
  return option < sizeof kNames / sizeof kNames[0] ? kNames[option] : "UPGRADE";
}

void UpdaterEntity::init(Module* target, uint8_t index, bool validating) {
  module = target;
  validate = validating;
  // A module behind a router is reached over the router's module bus, which may lose answers.
  askAgain = target != nullptr && !target->getNetworkingMode();
  EntityClass::init(target, cmdUPGRADE, index);
}

aErr UpdaterEntity::fail(aErr result, const char* format, ...) {
  char text[256];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  failure = text;
  return result;
}

aErr UpdaterEntity::send(uint8_t option, uint8_t length, const uint8_t* data) {
  request = option;
  failure.clear();
  // A run that is to stop (a routed update turns routing off first) sends nothing more.
  if (InterruptGuard::Requested()) {
    return fail(aErrCancel, "%s not sent: interrupted by %s", requestName(option), InterruptGuard::SignalName());
  }
  uint8_t packet[kPacketMaxData];
  packet[0] = option;
  if (length > 0) std::copy(data, data + length, packet + 1);
  aErr result = sendPacket(cmdUPGRADE, static_cast<uint8_t>(length + 1), packet);
  if (result == aErrNone) return aErrNone;
  return fail(result, "could not send %s: %s", requestName(option), aError_GetErrorDescription(result));
}

aErr UpdaterEntity::await(uint8_t option, uint8_t reply[], uint8_t* length) {
  const uint8_t match[2] = {cmdUPGRADE, option};
  *length = sizeof match;
  aErr result = receivePacket(match, length, reply);
  if (result == aErrNone) return aErrNone;
  if (result == aErrTimeout) {
    return fail(result, "no reply to %s within %lu ms", requestName(request), Tessaron::Halyard::kLinkReplyTimeoutMs);
  }
  if (result == aErrConnection) return linkLost();
  return fail(result, "no reply to %s: %s", requestName(request), aError_GetErrorDescription(result));
}

aErr UpdaterEntity::linkLost() {
  linkSpec spec{};
  const bool known = module != nullptr && module->getLinkSpecifier(&spec) == aErrNone;
  std::string cause = module != nullptr && module->getLink() != nullptr ? module->getLink()->lostCause() : "";
  if (cause.empty()) cause = "the link stopped";
  if (!known) return fail(aErrConnection, "the link to the module was lost (%s)", cause.c_str());
  return fail(aErrConnection, "the link to module %08X was lost (%s)", spec.serialNumber, cause.c_str());
}

aErr UpdaterEntity::LoaderInit() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
  uint8_t reply[kPacketMaxData];
  uint8_t length = 0;
  // INIT leaves the module in the same state however often it comes (nothing has been sent
  // since), so a lost answer is asked for again.
  const unsigned asks = askAgain ? kUpgradeAsks : 1;
  aErr result = aErrTimeout;
  for (unsigned ask = 1; ask <= asks && result == aErrTimeout; ++ask) {
    if (ask > 1) dropLateAnswers();
    result = send(val_UPGRADE_INIT);
    if (result != aErrNone) {
      Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", result);
      return result;
    }
    result = await(val_UPGRADE_INIT, reply, &length);
  }
  if (result == aErrTimeout && asks > 1) {
    return fail(result, "no reply to INIT within %lu ms, asked %u times", Tessaron::Halyard::kLinkReplyTimeoutMs,
                asks);
  }
  if (result != aErrNone) return result;
  if (length < kInitReplyLength) {
    return fail(aErrPacket, "INIT reply of %u bytes, %u expected", static_cast<unsigned>(length),
                static_cast<unsigned>(kInitReplyLength));
  }
  uint32_t base = aUEI_RetrieveInt(reply + 2);
  Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
  return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags, uint16_t& blockSize) {
  if (block == nullptr || length < kAddressLength) return fail(aErrParam, "block of %u bytes holds no address", length);
  Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", static_cast<int>(length), flags,
           blockSize);
  Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n",
           flags, block[0], block[1], block[2], block[3]);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(aUEI_RetrieveInt(block)));

  return prepare(flags, aUEI_RetrieveInt(block), blockSize);
}

aErr UpdaterEntity::prepare(uint8_t flags, uint32_t address, uint16_t& blockSize) {
  uint8_t request[5] = {flags};
  aUEI_StoreInt(request + 1, address);
  uint8_t reply[kPacketMaxData];
  uint8_t replyLength = 0;
  // PREPARE sets where the next bytes go and drops what the module held uncommitted: the same
  // state however often it comes, so a lost answer is asked for again.
  announced = false;
  const unsigned asks = askAgain ? kUpgradeAsks : 1;
  aErr result = aErrTimeout;
  for (unsigned ask = 1; ask <= asks && result == aErrTimeout; ++ask) {
    if (ask > 1) dropLateAnswers();
    result = send(val_UPGRADE_PREPARE, sizeof request, request);
    if (result != aErrNone) {
      Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", result);
      return result;
    }
    result = askAgain ? awaitStatus(kPrepareReplyLength, reply, &replyLength)
                      : await(val_UPGRADE_STATUS, reply, &replyLength);
  }
  if (result == aErrTimeout && asks > 1) {
    return fail(result, "no reply to PREPARE within %lu ms, asked %u times", Tessaron::Halyard::kLinkReplyTimeoutMs,
                asks);
  }
  if (result != aErrNone) return result;
  if (replyLength < kPrepareReplyLength || reply[2] != 0) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
    return fail(aErrInvalidOption, "module refused PREPARE (status 0x%02X)", statusOf(reply, replyLength));
  }
  blockSize = aUEI_RetrieveShort(reply + 3);
  announced = true;
  preparedFlags = flags;
  preparedAddress = address;
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", blockSize);
  return aErrNone;
}

// Sends one DATA packet and waits until the module acknowledges exactly its bytes; a chunk the
// module answers with another count is sent again, a bounded number of times.
aErr UpdaterEntity::sendChunk(const uint8_t* data, uint32_t chunk, bool* unanswered) {
  for (unsigned attempt = 0;; ++attempt) {
    if (attempt > kUpgradeDataResends) {
      Log::log(DEBUG_Always, "\nNETWORK: Module refused a %d-byte chunk %u times; transfer abandoned.\n",
               static_cast<int>(chunk), attempt);
      return fail(aErrPacket, "module acknowledged a %u-byte DATA chunk with another count %u times", chunk,
                  attempt);
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n",
             static_cast<int>(chunk));
    aErr result = send(val_UPGRADE_DATA, static_cast<uint8_t>(chunk), data);
    if (result != aErrNone) {
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", result);
      return result;
    }
    uint8_t reply[kPacketMaxData];
    uint8_t length = 0;
    result = await(val_UPGRADE_DATA, reply, &length);
    if (result != aErrNone) {
      if (unanswered != nullptr) *unanswered = result == aErrTimeout;
      Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
      return result == aErrConnection ? result : aErrPacket;  // await named the cause
    }
    int count = length >= kDataReplyLength ? reply[2] : -1;
    if (count == static_cast<int>(chunk)) return aErrNone;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", count,
             static_cast<int>(chunk));
  }
}

aErr UpdaterEntity::validateSum(uint32_t localSum, uint32_t packets) {
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
  // A request lost on the way shows up as a missing reply; one not sent because the run is to
  // stop ends the transfer here, with that cause (the wait would only put it down to the module).
  if (send(val_UPGRADE_SUM) == aErrCancel) return aErrCancel;
  uint8_t reply[kPacketMaxData];
  uint8_t length = 0;
  aErr result = await(val_UPGRADE_STATUS, reply, &length);
  if (result != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
    return result == aErrConnection ? result : aErrPacket;  // await named the cause
  }
  uint8_t status = statusOf(reply, length);
  uint32_t moduleSum = length >= kSumReplyLength ? aUEI_RetrieveInt(reply + 3) : 0;
  if (length >= kSumReplyLength && status == 0 && moduleSum == localSum) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, localSum,
             moduleSum, static_cast<int>(packets));
    return aErrNone;
  }
  Log::log(DEBUG_Always, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, localSum,
           moduleSum);
  return fail(aErrInvalidOption, "SUM mismatch: module 0x%08X, sent 0x%08X (status 0x%02X)", moduleSum, localSum,
              status);
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t& packets) {
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
  if (data == nullptr && length > 0) return fail(aErrParam, "no data for %u bytes", length);
  uint32_t sum = 0;
  uint32_t remaining = length;
  aErr result = aErrNone;
  while (remaining > 0 && result == aErrNone) {
    uint32_t chunk = std::min(remaining, kUpgradeDataChunk);
    result = sendChunk(data, chunk);
    if (result != aErrNone) break;
    sum += byteSum(data, chunk);
    data += chunk;
    remaining -= chunk;
    ++packets;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", static_cast<int>(chunk),
             static_cast<int>(remaining), static_cast<int>(length));
  }
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", static_cast<int>(length - remaining),
           static_cast<int>(length));
  if (result == aErrNone && validate) result = validateSum(sum, packets);
  return result;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* block, uint32_t length) {
  if (block == nullptr || length < kAddressLength) return fail(aErrParam, "block of %u bytes holds no address", length);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", aUEI_RetrieveInt(block),
           static_cast<int>(length - kAddressLength));
  if (askAgain) {
    return resumableTransfer(block + kAddressLength, length - kAddressLength, aUEI_RetrieveInt(block), 0, false,
                             nullptr);
  }
  uint32_t packets = 0;
  return _block_transfer(block + kAddressLength, length - kAddressLength, packets);
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
  if (block == nullptr || length < kAddressLength) return fail(aErrParam, "block of %u bytes holds no address", length);
  const uint32_t imageLength = length - kAddressLength;
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", aUEI_RetrieveInt(block),
           static_cast<int>(imageLength));
  // A module naming block size 0 would have the image sent in empty chunks forever.
  if (blockSize == 0 && imageLength > 0) {
    Log::log(DEBUG_Always, "NETWORK: Module named block size 0; firmware transfer refused\n");
    return fail(aErrInvalidOption, "module named block size 0 in its PREPARE reply");
  }
  Log::timestamped = false;
  display.display_progress(true);
  if (askAgain) {
    aErr result = resumableTransfer(block + kAddressLength, imageLength, aUEI_RetrieveInt(block), blockSize, true,
                                    &display);
    display.display_progress(false);
    if (result != aErrNone) Log::log(DEBUG_Always, "NETWORK: Failed to transfer firmware\n");
    return result;
  }

  const uint8_t* image = block + kAddressLength;
  uint32_t remaining = imageLength;
  uint32_t packets = 0;
  aErr result = aErrNone;
  while (remaining > 0 && result == aErrNone) {
    uint32_t chunk = std::min<uint32_t>(remaining, blockSize);
    result = _block_transfer(image, chunk, packets);
    if (result != aErrNone) break;
    image += chunk;
    remaining -= chunk;
    ++packets;
    display.update_progress(static_cast<double>(imageLength - remaining) / imageLength, nullptr);
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", static_cast<int>(chunk),
             static_cast<int>(remaining), static_cast<int>(imageLength));
    result = FirmwareWrite(chunk);
  }
  display.display_progress(false);
  Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", static_cast<int>(imageLength - remaining),
           static_cast<int>(imageLength));
  if (result != aErrNone) Log::log(DEBUG_Always, "NETWORK: Failed to transfer firmware\n");
  return result;
}

aErr UpdaterEntity::FirmwareWrite(uint32_t length) {
  bool unanswered = false;
  return commit(length, &unanswered);
}

aErr UpdaterEntity::commit(uint32_t length, bool* unanswered) {
  *unanswered = false;
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
           static_cast<int>(length));
  uint8_t request[2];
  aUEI_StoreShort(request, static_cast<uint16_t>(length & 0xFFFF));
  aErr result = send(val_UPGRADE_WRITE, sizeof request, request);
  if (result != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", result,
             aError_GetErrorText(result));
    return result;
  }
  uint8_t reply[kPacketMaxData];
  uint8_t replyLength = 0;
  result = askAgain ? awaitStatus(kStatusReplyLength, reply, &replyLength)
                    : await(val_UPGRADE_STATUS, reply, &replyLength);
  const bool answered = result == aErrNone;
  *unanswered = result == aErrTimeout;
  if (answered && statusOf(reply, replyLength) == 0) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
  if (!answered) return result == aErrConnection ? result : aErrInvalidOption;  // await named the cause
  return fail(aErrInvalidOption, "module refused WRITE of %u bytes (status 0x%02X)", length,
              statusOf(reply, replyLength));
}

aErr UpdaterEntity::LoaderStart() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
  aErr result = send(val_UPGRADE_LOAD);
  if (result != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", result);
    return result;
  }
  uint8_t reply[kPacketMaxData];
  uint8_t length = 0;
  const auto asked = std::chrono::steady_clock::now();
  if (await(val_UPGRADE_LOAD, reply, &length) == aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
    return aErrNone;
  }
  // No answer: the module may have restarted into its loader and dropped the link. The wait ends
  // well before its time-out only when the link stopped running (the transport may have made its
  // connection again since, so the link's state now tells nothing).
  const bool linkDropped = std::chrono::steady_clock::now() - asked <
                           std::chrono::milliseconds(Tessaron::Halyard::kLinkReplyTimeoutMs - kLinkDropMarginMs);
  result = _reconnect(kUpgradeLoaderReconnectDelayMs);
  if (result != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", result,
             aError_GetErrorText(result));
    return fail(aErrTimeout, "no reply to LOAD, and the module was not reached again: %s",
                aError_GetErrorDescription(result));
  }
  if (linkDropped) {
    // The module restarted under the LOAD request, as a module starting its loader does, and is
    // back: there is no answer left to wait for (a module that announces its loader on the new
    // link has done so already; the announcement is not needed).
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader started: the link dropped and was made again\n");
    return aErrNone;
  }
  result = await(val_UPGRADE_LOAD, reply, &length);
  if (result == aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
    return aErrNone;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", result,
           aError_GetErrorText(result));
  return aErrTimeout;
}

aErr UpdaterEntity::_reconnect(uint32_t delayMs) {
  if (module == nullptr) return aErrResource;
  (void)module->disconnect();  // always aErrNone
  auto outcome = [delayMs](aErr result) {
    if (result == aErrNone) {
      Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
    } else {
      Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", static_cast<int>(delayMs));
    }
    return result;
  };
  aErr result = RetryBounded(kUpgradeReconnectAttempts, delayMs, [&](unsigned attempt) {
    Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt,
             kUpgradeReconnectAttempts);
    return outcome(module->reconnect());
  });
  if (result == aErrNone) return aErrNone;
  return RetryBounded(kUpgradeReconnectAttempts, delayMs, [&](unsigned attempt) {
    Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n", attempt,
             kUpgradeReconnectAttempts);
    return outcome(module->connect(linkTypeUSB, kPlaceholderSerialNumber));
  });
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
  aErr result = send(val_UPGRADE_REBOOT);
  if (result != aErrNone) Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");

  // A module that never drops its link does not hold the update forever.
  const unsigned long bound = TestHook_LongWaitMs(kUpgradeRebootWaitMs);
  aErr dropped = RetryUntil(bound, kUpgradeRebootPollMs, [&](unsigned check) {
    // The spinner turns after the first pause, then at its own pace; behind a router the module
    // is asked over the router's bus at that pace only.
    const bool spinTurn = check >= 2 && (check - 2) % kUpgradeRebootPollsPerSpin == 0;
    if (spinTurn) {
      display.update_spinner(true, "Verifying Update");
      Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
      Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
    }
    if (module == nullptr || !module->isConnected()) return aErrNone;
    if (check != 1 && !spinTurn) return aErrBusy;
    if (restartedBehindRouter(*module)) return aErrNone;
    // Behind a router the REBOOT itself may have been lost on the module bus: a module that
    // answers the question right behind it never got it (a restart takes far longer than that).
    for (unsigned sent = 1; check == 1 && askAgain && sent < kUpgradeAsks; ++sent) {
      Log::log(DEBUG_Network_FIRM, "NETWORK: Module still answers after REBOOT; sending it again\n");
      if (send(val_UPGRADE_REBOOT) != aErrNone) break;
      if (restartedBehindRouter(*module)) return aErrNone;
    }
    return aErrBusy;
  });
  if (dropped != aErrNone) {
    Log::log(DEBUG_Always, "NETWORK: Link did not drop within %lu ms of the reboot request; wait ended\n", bound);
  }
  display.update_spinner(false, "Verifying Update");
  return result;
}
