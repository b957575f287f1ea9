// Runs one discovery call and prints its result as one JSON line, for the end-to-end tests.
//
//   discovery_driver enumerate TYPE [STOP_AFTER]   every module (the callback stops the walk
//                                                  after STOP_AFTER modules when given)
//   discovery_driver find TYPE SERIAL              aDiscovery_FindModule
//   discovery_driver first TYPE                    aDiscovery_FindFirstModule
//
// TCP/IP discovery multicasts, so type 2 runs only inside the private network namespace made by
// sim/netns_run.sh; elsewhere the driver refuses with exit status 2.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "aDiscovery.h"
#include "aError.h"
#include "aTime.h"
#include "driver_support.h"

namespace {

struct Collected {
  unsigned stopAfter = 0;
  std::vector<linkSpec> specs;
};

bool collect(const linkSpec* spec, bool* found, void* reference) {
  auto* collected = static_cast<Collected*>(reference);
  collected->specs.push_back(*spec);
  *found = true;
  return collected->stopAfter == 0 || collected->specs.size() < collected->stopAfter;
}

int usage() {
  fputs("usage: discovery_driver enumerate TYPE [STOP_AFTER] | find TYPE SERIAL | first TYPE\n", stderr);
  return 2;
}

int enumerate(linkType type, unsigned stopAfter) {
  Collected collected;
  collected.stopAfter = stopAfter;
  uint64_t start = aTime_GetMSTicks();
  uint8_t count = aDiscovery_EnumerateModules(type, collect, &collected);
  uint64_t elapsed = aTime_GetMSTicks() - start;
  std::string modules = "[";
  for (size_t i = 0; i < collected.specs.size(); ++i) {
    if (i > 0) modules += ",";
    modules += driver::specJson(collected.specs[i]);
  }
  modules += "]";
  driver::Json()
      .field("count", static_cast<long long>(count))
      .field("calls", static_cast<long long>(collected.specs.size()))
      .field("ms", static_cast<long long>(elapsed))
      .raw("modules", modules)
      .print();
  return 0;
}

int find(linkType type, bool first, uint32_t serial) {
  uint64_t start = aTime_GetMSTicks();
  linkSpec* spec = first ? aDiscovery_FindFirstModule(type) : aDiscovery_FindModule(type, serial);
  uint64_t elapsed = aTime_GetMSTicks() - start;
  driver::Json json;
  json.field("found", spec != nullptr).field("ms", static_cast<long long>(elapsed));
  if (spec != nullptr) json.raw("module", driver::specJson(*spec));
  json.print();
  if (spec != nullptr && aLinkSpec_Destroy(&spec) != aErrNone) return 1;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  char* end = nullptr;
  unsigned long type = strtoul(argv[2], &end, 0);
  if (*end != '\0') return usage();
  if (type == linkTypeTCPIP && !driver::insidePrivateNamespace()) {
    fputs("discovery_driver: TCP/IP discovery runs only inside sim/netns_run.sh\n", stderr);
    return 2;
  }
  const std::string command = argv[1];
  if (command == "enumerate" && argc <= 4) {
    unsigned long stopAfter = argc == 4 ? strtoul(argv[3], nullptr, 0) : 0;
    return enumerate(static_cast<linkType>(type), static_cast<unsigned>(stopAfter));
  }
  if (command == "find" && argc == 4) {
    uint32_t serial = 0;
    if (!driver::parseSerial(argv[3], &serial)) return usage();
    return find(static_cast<linkType>(type), false, serial);
  }
  if (command == "first" && argc == 3) return find(static_cast<linkType>(type), true, 0);
  return usage();
}
