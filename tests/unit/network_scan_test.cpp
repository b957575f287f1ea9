// The scan of the device network behind a router, over a link whose writer a busy host holds up
// and a router whose answers come late and out of order: the table stays in address order and
// no request is lost on the host's side.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <ostream>
#include <set>
#include <thread>
#include <vector>

#include "SystemClass.h"
#include "UEI.h"
#include "aPacketFifo.h"
#include "module_update/NetworkScan.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint8_t kRouterAddress = 254;

// A module behind the router: its serial number, how many of its first answers are lost on the
// bus, and how long after the request is on the wire its answer arrives.
struct BehindModule {
  uint32_t serial;
  unsigned lostAnswers;
  milliseconds answerAfter;
};

// What is put waits on an outbound queue of the link's capacity (a put beyond it purges the
// queue, as the link's own does). The writer, run from await(), writes one request every
// kWriteGap, except while it is stalled (a busy host): the stalls start at the given counts of
// written requests. Written requests reach the router, whose answers arrive each at its own time,
// so not in the order they were asked.
class StalledRouterLink : public ScanLink {
 public:
  static constexpr milliseconds kWriteGap{2};

  StalledRouterLink(std::map<uint8_t, BehindModule> modules, std::set<size_t> stallsAt, milliseconds stall)
      : modules_(std::move(modules)), stallsAt_(std::move(stallsAt)), stall_(stall) {}

  aErr send(uint8_t address, const uint8_t* data, uint8_t length) override {
    if (unsent_.empty()) nextWrite_ = std::max(nextWrite_, Clock::now() + kWriteGap);
    unsent_.push_back({address, data[0], length > 1 ? data[1] : uint8_t(0)});
    if (unsent_.size() > static_cast<size_t>(kPacketFifoCapacity)) {
      purged_ += unsent_.size();
      unsent_.clear();
    }
    return aErrNone;
  }

  aErr await(aPacketFilter filter, const void* ref, unsigned long timeoutMs) override {
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    for (;;) {
      writeDue();
      auto answer = std::min_element(answers_.begin(), answers_.end(),
                                     [](const Answer& a, const Answer& b) { return a.due < b.due; });
      const auto now = Clock::now();
      if (answer != answers_.end() && answer->due <= now) {
        aPacket packet = answer->packet;
        answers_.erase(answer);
        if (filter(&packet, ref) != 0) return aErrNone;
        continue;
      }
      if (now >= deadline) return aErrTimeout;
      auto wake = deadline;
      if (!unsent_.empty()) wake = std::min(wake, nextWrite_);
      if (answer != answers_.end()) wake = std::min(wake, answer->due);
      std::this_thread::sleep_until(wake);
    }
  }

  bool connected() const override { return true; }
  size_t unsent() const override { return unsent_.size(); }

  // The addresses asked for their serial number, in the order the requests reached the router.
  const std::vector<uint8_t>& askedSerials() const { return askedSerials_; }
  size_t purged() const { return purged_; }

 private:
  struct Written {
    uint8_t address;
    uint8_t command;
    uint8_t option;
  };
  struct Answer {
    Clock::time_point due;
    aPacket packet;
  };

  void writeDue() {
    while (!unsent_.empty() && Clock::now() >= nextWrite_) {
      Written request = unsent_.front();
      unsent_.pop_front();
      ++written_;
      route(request);
      nextWrite_ += kWriteGap;
      if (stallsAt_.count(written_) != 0) nextWrite_ += stall_;
    }
  }

  // The router's side: a system get of the serial number from a module behind it.
  void route(const Written& request) {
    const uint8_t serialGet = Tessaron::Halyard::systemSerialNumber | Tessaron::Halyard::kUEIOptionGet;
    if (request.command != Tessaron::Halyard::cmdSYSTEM || request.option != serialGet) return;
    askedSerials_.push_back(request.address);
    auto module = modules_.find(request.address);
    if (module == modules_.end()) return;
    if (module->second.lostAnswers > 0) {
      --module->second.lostAnswers;
      return;
    }
    const uint32_t serial = module->second.serial;
    const uint8_t reply[] = {Tessaron::Halyard::cmdSYSTEM, Tessaron::Halyard::systemSerialNumber, 0,
                             uint8_t(serial >> 24), uint8_t(serial >> 16), uint8_t(serial >> 8), uint8_t(serial)};
    Answer answer{Clock::now() + module->second.answerAfter, {}};
    answer.packet.check = kPacketCheck;
    answer.packet.address = request.address;
    answer.packet.dataSize = sizeof reply;
    std::copy(reply, reply + sizeof reply, answer.packet.data);
    answers_.push_back(answer);
  }

  std::map<uint8_t, BehindModule> modules_;
  std::set<size_t> stallsAt_;
  milliseconds stall_;
  std::deque<Written> unsent_;
  Clock::time_point nextWrite_ = Clock::now();
  size_t written_ = 0;
  size_t purged_ = 0;
  std::vector<Answer> answers_;
  std::vector<uint8_t> askedSerials_;
};

struct ScanCase {
  const char* name;
  std::set<size_t> stallsAt;  // counts of written requests after which the writer stalls
  milliseconds stall;
};

void PrintTo(const ScanCase& scanCase, std::ostream* out) { *out << scanCase.name; }

class NetworkScanOrder : public ::testing::TestWithParam<ScanCase> {};

// Modules at every even address but four silent ones. Their answers take 0 to 49 ms by address,
// so neighbours answer out of order; the one at 60 answers only after its answer time (it is
// asked again, and the first answer comes after the second question); the one at 100 loses its
// first answer, so it is found only in the second pass.
std::map<uint8_t, BehindModule> crowdedNetwork() {
  const std::set<unsigned> silent{20, 22, 130, 252};
  std::map<uint8_t, BehindModule> modules;
  for (unsigned address = 2; address <= 252; address += 2) {
    if (silent.count(address) != 0) continue;
    modules[uint8_t(address)] = {0x5C000000u + address, 0, milliseconds((address * 37) % 50)};
  }
  modules[60].answerAfter = milliseconds(400);
  modules[100].lostAnswers = 1;
  return modules;
}

TEST_P(NetworkScanOrder, FindsEveryModuleInAddressOrderWithNoRequestLost) {
  const std::map<uint8_t, BehindModule> modules = crowdedNetwork();
  StalledRouterLink link(modules, GetParam().stallsAt, GetParam().stall);
  NetworkScan scan(link, kRouterAddress, nullptr);

  const std::vector<NetworkModule> found = scan.findModules();

  std::vector<std::pair<unsigned, uint32_t>> table, expected;
  for (const NetworkModule& module : found) table.emplace_back(module.address, module.serialNumber);
  for (const auto& module : modules) expected.emplace_back(module.first, module.second.serial);
  EXPECT_EQ(table, expected);
  EXPECT_EQ(link.purged(), 0u) << "requests lost from a full outbound queue";
  // Every address was asked first in rising order; a silent one three times, as the scan's
  // tries allow, and none more than that.
  const std::vector<uint8_t>& asked = link.askedSerials();
  std::vector<unsigned> firstAsked;
  for (uint8_t address : asked) {
    if (std::find(firstAsked.begin(), firstAsked.end(), address) == firstAsked.end()) firstAsked.push_back(address);
  }
  std::vector<unsigned> everyAddress;
  for (unsigned address = 2; address <= 252; address += 2) everyAddress.push_back(address);
  EXPECT_EQ(firstAsked, everyAddress);
  for (unsigned address : {20u, 22u, 130u, 252u}) {
    EXPECT_EQ(std::count(asked.begin(), asked.end(), address), 3) << address;
  }
  EXPECT_EQ(std::count(asked.begin(), asked.end(), 100), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Writers, NetworkScanOrder,
    ::testing::Values(ScanCase{"WriterOnTime", {}, milliseconds(0)},
                      // The whole first window held up past the answer time, and again mid-scan.
                      ScanCase{"WriterStalledTwice", {1, 70}, milliseconds(400)},
                      // Stalls shorter than the answer time, often: the queue never drains long.
                      ScanCase{"WriterStalledOften", {5, 20, 35, 50, 65, 80, 95, 110}, milliseconds(120)}),
    [](const ::testing::TestParamInfo<ScanCase>& info) { return std::string(info.param.name); });

}  // namespace
