// Block transfers to a module whose answers can be lost on the way (a module behind a router,
// whose module bus may lose an answer after the module acted on the request).
//
// What may be sent again after a lost answer:
//   INIT, PREPARE  leave the module in the same state however often they come: asked again.
//   DATA           appends to what the module holds, and its answer names no offset: a second
//                  copy would shift every later byte. The module's byte sum tells instead: SUM
//                  answers the sum of the bytes taken since the last SUM, so it shows whether
//                  the unanswered chunk was taken (unless its bytes add up to 0).
//   SUM            starts the module's sum again: once its answer is lost, the bytes it covered
//                  can no longer be checked.
//   WRITE          commits what the module holds; a second WRITE is refused whether the first
//                  was carried out or failed, so its answer cannot be had again.
// When the module's state is no longer known, the transfer resumes with PREPARE at the address
// of the first byte the module is known to hold (checked by a SUM and, for firmware, committed by
// WRITE): PREPARE drops what the module held uncommitted, and the rest goes again to the same
// addresses. Without losses the packets are those of the plain transfer.

#include <algorithm>
#include <cstring>
#include <string>

#include "Link.h"
#include "Log.h"
#include "aPacket.h"
#include "aUEI.h"
#include "module_update/UpdaterEntity.h"
#include "module_update/UpdaterEntityReplies.h"

using namespace updater_entity;

namespace {

uint8_t isUpgradeAnswer(const aPacket* packet, const void*) {
  return packet->dataSize >= 2 && packet->data[0] == cmdUPGRADE ? 1 : 0;
}

struct StatusMatch {
  uint8_t length;
  uint8_t* reply;
  uint8_t* replyLength;
};

uint8_t takeStatus(const aPacket* packet, const void* ref) {
  const auto* match = static_cast<const StatusMatch*>(ref);
  if (packet->dataSize < kStatusReplyLength || packet->data[0] != cmdUPGRADE || packet->data[1] != val_UPGRADE_STATUS) {
    return 0;
  }
  const bool refusal = packet->dataSize == kStatusReplyLength && packet->data[2] != 0;
  if (packet->dataSize != match->length && !refusal) return 0;
  memcpy(match->reply, packet->data, packet->dataSize);
  *match->replyLength = packet->dataSize;
  return 1;
}

}  // namespace

void UpdaterEntity::dropLateAnswers() {
  Tessaron::Halyard::Link* link = module != nullptr ? module->getLink() : nullptr;
  if (link == nullptr) return;
  const unsigned dropped = link->dropPackets(isUpgradeAnswer, nullptr);
  if (dropped > 0) Log::log(DEBUG_Network_FIRM, "NETWORK: %u late answers dropped\n", dropped);
}

aErr UpdaterEntity::awaitStatus(uint8_t length, uint8_t reply[], uint8_t* replyLength) {
  Tessaron::Halyard::Link* link = module != nullptr ? module->getLink() : nullptr;
  if (link == nullptr) return fail(aErrResource, "no link to the module");
  StatusMatch match{length, reply, replyLength};
  aErr result = link->awaitPacket(takeStatus, &match, link->replyTimeout());
  if (result == aErrNone) {
    // Answers come in the order of the requests: whatever else is queued now came too late.
    dropLateAnswers();
    return aErrNone;
  }
  if (result == aErrConnection || !link->lostCause().empty()) return linkLost();
  return fail(aErrTimeout, "no reply to %s within %lu ms", requestName(request),
              Tessaron::Halyard::kLinkReplyTimeoutMs);
}

aErr UpdaterEntity::askSum(uint32_t& moduleSum) {
  dropLateAnswers();
  aErr result = send(val_UPGRADE_SUM);
  if (result != aErrNone) return result;
  uint8_t reply[kPacketMaxData];
  uint8_t length = 0;
  result = awaitStatus(kSumReplyLength, reply, &length);
  if (result != aErrNone) return result;
  if (length < kSumReplyLength || reply[2] != 0) {
    return fail(aErrInvalidOption, "module refused SUM (status 0x%02X)", statusOf(reply, length));
  }
  moduleSum = aUEI_RetrieveInt(reply + 3);
  return aErrNone;
}

// Sends one segment: its DATA packets, the SUM check and, with writeChunk, the WRITE that commits
// it. An unanswered DATA is settled by asking the module's sum. On return `checked` is how many of
// the segment's first bytes the module is known to hold, and `lost` tells that an answer was lost
// (or a sum differed) so that the module's state is uncertain past `checked`: the caller resumes.
// Any other error (a refusal, a lost link, an interruption) ends the transfer.
aErr UpdaterEntity::sendSegment(const uint8_t* data, uint32_t length, bool writeChunk, uint32_t& checked,
                                bool& lost) {
  checked = 0;
  lost = false;
  uint32_t sent = 0;
  uint32_t sumSince = 0;  // of the bytes taken since the last SUM
  while (sent < length) {
    const uint32_t chunk = std::min(length - sent, kUpgradeDataChunk);
    bool unanswered = false;
    aErr result = sendChunk(data + sent, chunk, &unanswered);
    const uint32_t chunkSum = byteSum(data + sent, chunk);
    if (result == aErrNone) {
      sumSince += chunkSum;
      sent += chunk;
      continue;
    }
    if (!unanswered) return result;
    Log::log(DEBUG_Network_FIRM, "NETWORK: answer to DATA lost at offset %u; asking the module's sum\n", sent);
    uint32_t moduleSum = 0;
    result = askSum(moduleSum);
    if (result != aErrNone) {
      lost = result == aErrTimeout || result == aErrInvalidOption;
      return result;
    }
    if (moduleSum == sumSince + chunkSum && chunkSum != 0) {
      Log::log(DEBUG_Network_FIRM, "NETWORK: module sum %08X: the unanswered chunk was taken\n", moduleSum);
      sent += chunk;
    } else if (moduleSum == sumSince && chunkSum != 0) {
      Log::log(DEBUG_Network_FIRM, "NETWORK: module sum %08X: the unanswered chunk goes again\n", moduleSum);
    } else if (moduleSum == sumSince) {
      checked = sent;
      lost = true;
      return fail(aErrPacket, "answer to DATA lost, and its bytes add up to 0: the module's sum cannot tell "
                  "whether it took them");
    } else {
      lost = true;
      return fail(aErrInvalidOption, "SUM mismatch: module 0x%08X, sent 0x%08X or 0x%08X", moduleSum, sumSince,
                  sumSince + chunkSum);
    }
    checked = sent;
    sumSince = 0;
  }
  // The sum that settled the last DATA may have covered the whole segment already.
  if (validate && checked < length) {
    uint32_t moduleSum = 0;
    aErr result = askSum(moduleSum);
    if (result != aErrNone) {
      lost = result == aErrTimeout || result == aErrInvalidOption;
      return result;
    }
    if (moduleSum != sumSince) {
      lost = true;
      return fail(aErrInvalidOption, "SUM mismatch: module 0x%08X, sent 0x%08X", moduleSum, sumSince);
    }
  }
  checked = length;
  if (!writeChunk) return aErrNone;
  bool unanswered = false;
  aErr result = commit(length, &unanswered);
  lost = unanswered;
  return result;
}

// Sends the image of the block at `address` (already announced by PREPARE). Loader bytes are in
// place as soon as the module takes them; firmware bytes only once a WRITE committed their chunk.
// Without losses a loader block goes as one segment and a firmware block in chunks of blockSize.
// After a loss the segment size halves (down to one DATA packet), so that losses coming at a
// steady pace cannot stop the transfer; it doubles again with each segment held.
aErr UpdaterEntity::resumableTransfer(const uint8_t* image, uint32_t length, uint32_t address, uint16_t blockSize,
                                      bool writeChunks, UpdaterDisplayInterface* display) {
  if (!announced || preparedAddress != address) {
    return fail(aErrPacket, "block at 0x%08X not announced: its PREPARE was not answered", address);
  }
  const uint8_t flags = preparedFlags;
  uint32_t held = 0;
  uint32_t largest = writeChunks ? blockSize : length;
  uint32_t segmentLimit = largest;
  unsigned stalled = 0;
  while (held < length) {
    const uint32_t segment = std::min(length - held, segmentLimit);
    uint32_t checked = 0;
    bool lost = false;
    aErr result = sendSegment(image + held, segment, writeChunks, checked, lost);
    if (result == aErrNone) {
      held += segment;
      stalled = 0;
      segmentLimit = std::min(largest, segmentLimit * 2);
      if (display != nullptr) display->update_progress(static_cast<double>(held) / length, nullptr);
      continue;
    }
    if (!lost) return result;
    // What the module holds for certain: checked loader bytes; firmware only up to the last
    // committed chunk (PREPARE drops the rest).
    const uint32_t gained = writeChunks ? 0 : checked;
    held += gained;
    stalled = gained > 0 ? 0 : stalled + 1;
    const std::string cause = Failure();
    if (stalled >= kUpgradeStalledResumes) {
      return fail(aErrPacket, "%s; %u times in a row without getting past offset %u", cause.c_str(), stalled, held);
    }
    segmentLimit = std::max(kUpgradeDataChunk, segmentLimit / 2);
    Log::log(DEBUG_Network_FIRM, "NETWORK: %s; resuming at %08X (%u of %u bytes held)\n", cause.c_str(),
             address + held, held, length);
    uint16_t size = blockSize;
    result = prepare(flags, address + held, size);
    if (result != aErrNone) return result;
    if (writeChunks && size != blockSize) {
      if (size == 0) return fail(aErrInvalidOption, "module named block size 0 in its PREPARE reply");
      largest = size;
      segmentLimit = std::min<uint32_t>(segmentLimit, largest);
    }
  }
  return aErrNone;
}
