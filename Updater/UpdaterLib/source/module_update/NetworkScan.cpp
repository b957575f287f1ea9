#include "module_update/NetworkScan.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>

#include "Entity.h"
#include "Link.h"
#include "Module.h"
#include "SystemClass.h"
#include "aDefs.h"
#include "aPacket.h"
#include "aUEI.h"
#include "aVersion.h"
#include "module_update/BuildNumberQuery.h"

using Tessaron::Halyard::Link;
using Tessaron::Halyard::Module;
using Tessaron::Halyard::uei;
using Tessaron::Halyard::ueiType;
using Tessaron::Halyard::ueiTypeByte;
using Tessaron::Halyard::ueiTypeInt;
using Tessaron::Halyard::ueiTypeNone;

namespace {

using Clock = std::chrono::steady_clock;

// The device network behind a router: every even address from 2 to 252.
constexpr unsigned kFirstNetworkAddress = 2;
constexpr unsigned kLastNetworkAddress = 252;

// Requests in flight at once. A router carries the packets for the modules behind it over its
// module bus one after another and holds those waiting for the bus. A request here counts as in
// flight until its answer came or its answer time passed, and that time (kScanAnswerMs) is many
// times what a router needs to carry a whole window over its bus (a few milliseconds a packet):
// so the router never holds more than kScanWindow of our packets, 16 packets of at most 30
// bytes, which its receive buffer takes. The window is also below the capacity of the link's
// outbound queue (20 packets, purged when it overflows), so a whole window can be put on it at
// once and the link's writer sends it at its own pace of one packet a millisecond.
constexpr unsigned kScanWindow = 16;
constexpr unsigned long kScanAnswerMs = 150;
// A request's answer time starts once it is on the wire. On a busy host the link's writer can
// hold the window's packets longer than kScanAnswerMs: a request past its time while packets
// still wait to be written may be one of them, so it keeps its place in the window and its time
// starts again. Letting it go would put more on the outbound queue than it holds, and a full
// queue is purged, losing every request in it. A writer that has not emptied the queue this
// long after a request was put is stuck: its requests then time out as any other.
constexpr unsigned long kScanWriteLimitMs = 5000;
// An answer lost in the crowd (or a request lost on the bus) shows as a request that timed out:
// it goes to the back of the queue and is asked again. Every address is asked up to three times
// (a silent one is most likely empty: twice was not enough for a module whose answer was lost
// once in the crowd and came too late once on a busy host), and so is each detail of a module
// that answered its serial number.
constexpr unsigned kProbeTries = 3;
constexpr unsigned kDetailTries = 3;
// The share of the progress bar the serial-number probes take; the details take the rest.
constexpr double kProbeShare = 0.85;

// One request to a module behind the router and what came back for it.
struct Request {
  uint8_t address = 0;
  uint8_t data[3] = {};
  uint8_t length = 0;
  // A system entity get: the answer is decoded into `message` as Link::receiveUEI does.
  bool isUEI = false;
  uei message;
  bool answered = false;
  uint8_t replyLength = 0;
  uint8_t reply[kPacketMaxData] = {};
  unsigned tries = 0;
};

Request systemGet(uint8_t address, uint8_t option) {
  Request request;
  request.address = address;
  request.data[0] = Tessaron::Halyard::cmdSYSTEM;
  request.data[1] = static_cast<uint8_t>(option | Tessaron::Halyard::kUEIOptionGet);
  request.data[2] = Tessaron::Halyard::kUEISpecifierRequest;  // index 0
  request.length = 3;
  request.isUEI = true;
  request.message.module = address;
  request.message.command = Tessaron::Halyard::cmdSYSTEM;
  request.message.option = option;
  request.message.specifier = 0;
  request.message.type = ueiTypeNone;
  return request;
}

Request buildNumberQuery(uint8_t address) {
  Request request;
  request.address = address;
  request.data[0] = build_number::kCommand;
  request.data[1] = build_number::kQuery;
  request.length = 2;
  return request;
}

bool answers(Request& request, const aPacket* packet) {
  if (packet->address != request.address) return false;
  if (request.isUEI) {
    // sUEIFilter matches module, command, option and index and decodes the value as it goes.
    uei decoded = request.message;
    if (Tessaron::Halyard::sUEIFilter(packet, &decoded) == 0) return false;
    if (!request.answered) request.message = decoded;
    return true;
  }
  return packet->dataSize >= 2 && packet->data[0] == request.data[0] && packet->data[1] == request.data[1];
}

// The link filter: takes the answer to any request of the scan. A second answer to a request
// asked twice is taken off the queue as well, so late answers never pile up there.
uint8_t takeAnswer(const aPacket* packet, const void* ref) {
  auto* requests = static_cast<std::vector<Request>*>(const_cast<void*>(ref));
  for (Request& request : *requests) {
    if (!answers(request, packet)) continue;
    if (!request.answered) {
      request.answered = true;
      request.replyLength = packet->dataSize;
      memcpy(request.reply, packet->data, packet->dataSize);
    }
    return 1;
  }
  return 0;
}

// What EntityClass::getUEI8 / getUEI32 would have returned for this request.
aErr ueiResult(const Request& request, ueiType type, uint32_t* value) {
  if (!request.answered) return aErrTimeout;
  if (request.message.specifier & Tessaron::Halyard::kUEISpecifierError) {
    return Tessaron::Halyard::moduleErrorCode(request.message.value);
  }
  if (request.message.type != type) return aErrPacket;
  *value = request.message.value;
  return aErrNone;
}

struct InFlight {
  size_t index;
  Clock::time_point put;
  Clock::time_point deadline;
};

// False once the request's answer time has passed on the wire (see kScanWriteLimitMs).
bool stillInFlight(InFlight& entry, Clock::time_point now, size_t unsent) {
  if (now < entry.deadline) return true;
  if (unsent == 0 || now - entry.put >= std::chrono::milliseconds(kScanWriteLimitMs)) return false;
  entry.deadline = now + std::chrono::milliseconds(kScanAnswerMs);
  return true;
}

// The scan over the router module's own link.
class RouterLink : public ScanLink {
 public:
  explicit RouterLink(Link& link) : link_(link) {}
  aErr send(uint8_t address, const uint8_t* data, uint8_t length) override {
    return link_.sendPacket(address, data[0], static_cast<uint8_t>(length - 1), data + 1);
  }
  aErr await(aPacketFilter filter, const void* ref, unsigned long timeoutMs) override {
    return link_.awaitPacket(filter, ref, timeoutMs);
  }
  bool connected() const override { return link_.isConnected(); }
  size_t unsent() const override { return link_.unsentPackets(); }

 private:
  Link& link_;
};

// Sends the requests with at most kScanWindow in flight until every one is answered or was asked
// `tries` times, or `done` says the caller has what it needs. Progress runs from `from` to `to`.
void runRequests(ScanLink& link, std::vector<Request>& requests, unsigned tries, const std::function<bool()>& done,
                 const NetworkScan::Progress& progress, double from, double to) {
  std::deque<size_t> waiting;
  for (size_t index = 0; index < requests.size(); ++index) waiting.push_back(index);
  std::vector<InFlight> inFlight;
  for (;;) {
    while (inFlight.size() < kScanWindow && !waiting.empty()) {
      size_t index = waiting.front();
      waiting.pop_front();
      Request& request = requests[index];
      if (request.answered) continue;
      ++request.tries;
      if (link.send(request.address, request.data, request.length) != aErrNone) return;
      const auto put = Clock::now();
      inFlight.push_back({index, put, put + std::chrono::milliseconds(kScanAnswerMs)});
    }
    if (inFlight.empty()) return;

    auto earliest = std::min_element(inFlight.begin(), inFlight.end(), [](const InFlight& a, const InFlight& b) {
                      return a.deadline < b.deadline;
                    })->deadline;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(earliest - Clock::now()).count();
    if (link.await(takeAnswer, &requests, left > 0 ? static_cast<unsigned long>(left) : 0) != aErrNone &&
        !link.connected()) {
      return;
    }

    const auto now = Clock::now();
    const size_t unsent = link.unsent();
    size_t settled = 0;
    for (const Request& request : requests) settled += request.answered || request.tries >= tries ? 1 : 0;
    inFlight.erase(std::remove_if(inFlight.begin(), inFlight.end(),
                                  [&](InFlight& entry) {
                                    const Request& request = requests[entry.index];
                                    if (request.answered) return true;
                                    if (stillInFlight(entry, now, unsent)) return false;
                                    if (request.tries < tries) waiting.push_back(entry.index);
                                    return true;
                                  }),
                   inFlight.end());
    if (progress && !requests.empty()) progress(from + (to - from) * static_cast<double>(settled) / requests.size());
    if (done && done()) return;
  }
}

}  // namespace

NetworkScan::NetworkScan(Module& router, Progress progress)
    : ownLink_(router.getLink() != nullptr ? std::make_unique<RouterLink>(*router.getLink()) : nullptr),
      link_(ownLink_.get()),
      routerAddress_(router.getModuleAddress()),
      progress_(std::move(progress)) {}

NetworkScan::NetworkScan(ScanLink& link, uint8_t routerAddress, Progress progress)
    : link_(&link), routerAddress_(routerAddress), progress_(std::move(progress)) {}

NetworkScan::~NetworkScan() = default;

std::vector<NetworkModule> NetworkScan::findModules(uint32_t wanted) {
  std::vector<NetworkModule> found;
  if (link_ == nullptr) return found;
  std::vector<Request> probes;
  for (unsigned address = kFirstNetworkAddress; address <= kLastNetworkAddress; address += 2) {
    probes.push_back(systemGet(static_cast<uint8_t>(address), Tessaron::Halyard::systemSerialNumber));
  }
  auto serialOf = [](const Request& probe, uint32_t* serial) { return ueiResult(probe, ueiTypeInt, serial) == aErrNone; };
  std::function<bool()> done;
  if (wanted != 0) {
    done = [&]() {
      uint32_t serial = 0;
      return std::any_of(probes.begin(), probes.end(),
                         [&](const Request& probe) { return serialOf(probe, &serial) && serial == wanted; });
    };
  }
  runRequests(*link_, probes, kProbeTries, done, progress_, 0.0, kProbeShare);
  for (const Request& probe : probes) {
    uint32_t serial = 0;
    if (serialOf(probe, &serial)) found.push_back({probe.address, serial});
  }
  return found;
}

namespace {

// The details asked of every found module, in the order of the table below.
enum Detail { kBuild, kVersion, kModule, kRouter, kModel, kDetails };

// Fills the version and the module and router addresses as _get_version does: in that order,
// stopping at the first failure, which is returned.
aErr versionDetails(const Request* details, DeviceInfo& record) {
  uint32_t value = 0;
  aErr result = ueiResult(details[kVersion], ueiTypeInt, &value);
  if (result != aErrNone) return result;
  record.versionMajor = static_cast<uint8_t>(aVersion_ParseMajor(value));
  record.versionMinor = static_cast<uint8_t>(aVersion_ParseMinor(value));
  record.versionPatch = aVersion_ParsePatch(value);
  result = ueiResult(details[kModule], ueiTypeByte, &value);
  if (result != aErrNone) return result;
  record.spec.moduleAddress = static_cast<uint8_t>(value);
  result = ueiResult(details[kRouter], ueiTypeByte, &value);
  if (result != aErrNone) return result;
  record.spec.router = static_cast<uint8_t>(value);
  return aErrNone;
}

uint32_t buildNumberOf(const Request& request) {
  if (!request.answered) return 0;
  return build_number::FromReply(request.reply, request.replyLength);
}

}  // namespace

std::vector<DeviceInfo> NetworkScan::describe(const std::vector<NetworkModule>& modules, const linkSpec& routerSpec,
                                              uint32_t routerSerialNumber) {
  std::vector<DeviceInfo> list;
  if (link_ == nullptr) return list;
  std::vector<Request> details;
  for (const NetworkModule& module : modules) {
    details.push_back(buildNumberQuery(module.address));
    details.push_back(systemGet(module.address, Tessaron::Halyard::systemVersion));
    details.push_back(systemGet(module.address, Tessaron::Halyard::systemModule));
    details.push_back(systemGet(module.address, Tessaron::Halyard::systemRouter));
    details.push_back(systemGet(module.address, Tessaron::Halyard::systemModel));
  }
  runRequests(*link_, details, kDetailTries, nullptr, progress_, kProbeShare, 1.0);

  for (size_t index = 0; index < modules.size(); ++index) {
    const Request* asked = &details[index * kDetails];
    DeviceInfo record;
    record.spec.t = routerSpec.t;
    record.spec.type = routerSpec.type;
    record.spec.serialNumber = modules[index].serialNumber;
    record.spec.router = routerAddress_;
    record.spec.routerSerialNumber = routerSerialNumber;
    record.buildNumber = buildNumberOf(asked[kBuild]);
    record.error = versionDetails(asked, record);
    uint32_t model = 0;
    aErr modelResult = ueiResult(asked[kModel], ueiTypeByte, &model);
    if (modelResult == aErrNone) {
      record.spec.model = static_cast<uint8_t>(model);
      record.modelName = aDefs_GetModelName(static_cast<int>(model));
    } else {
      record.error = modelResult;
    }
    list.push_back(record);
  }
  return list;
}
