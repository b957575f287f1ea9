// The one-by-one scan of the device network behind a router: every even address from 2 to 252
// in turn, each asked for its serial number and, when it answers, for its build number, version,
// addresses and model, exactly as the Updater scanned before it asked several addresses at once.
// The end-to-end tests compare the Updater's -D -r table with the table this prints.
//
//   network_scan_driver ROUTER_SERIAL TYPE REPLY_MS
//
// REPLY_MS is the reply time-out of every query (the Updater's links wait 1000 ms; a simulated
// module answers within a few, so a shorter wait gives the same table sooner). Prints the table
// -D -r prints for TYPE, as information lines on standard output. TCP/IP discovery multicasts, so
// the driver runs only inside the private network namespace made by sim/netns_run.sh.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "Link.h"
#include "Module.h"
#include "SystemClass.h"
#include "UpdaterDisplayInterface.h"
#include "aDiscovery.h"
#include "driver_support.h"
#include "engine/Updater.h"
#include "engine/UpdaterSteps.h"

using Tessaron::Halyard::Module;
using Tessaron::Halyard::SystemClass;
using namespace engine;

namespace {

// The table's lines on standard output, as the Updater prints them on a pipe.
class LineDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char* text) override {
    fputs(text, stdout);
    fputc('\n', stdout);
  }
  void error_message(const char* text) override {
    fputs(text, stderr);
    fputc('\n', stderr);
  }
};

bool queryNetworkModule(Module& router, const linkSpec& routerSpec, uint32_t routerSerialNumber, uint8_t address,
                        unsigned long replyMs, DeviceInfo& record) {
  Module module(address, 0);
  (void)module.connectThroughLinkModule(&router);
  module.getLink()->setReplyTimeout(replyMs);
  SystemClass system;
  system.init(&module, 0);
  uint32_t serialNumber = 0;
  if (system.getSerialNumber(&serialNumber) != aErrNone) return false;

  record.spec.t = routerSpec.t;
  record.spec.type = routerSpec.type;
  record.spec.serialNumber = serialNumber;
  record.spec.router = router.getModuleAddress();
  record.spec.routerSerialNumber = routerSerialNumber;
  record.buildNumber = _get_build_number(module);
  record.error = _get_version(module, record);
  uint8_t model = 0;
  aErr modelResult = system.getModel(&model);
  if (modelResult == aErrNone) {
    record.spec.model = model;
    record.modelName = aDefs_GetModelName(model);
  } else {
    record.error = modelResult;
  }
  return true;
}

std::vector<DeviceInfo> scanOneByOne(uint32_t routerSerialNumber, linkType type, unsigned long replyMs) {
  std::vector<DeviceInfo> list;
  if (type == linkTypeAny) type = _discover_link_type(routerSerialNumber);
  linkSpec* found = aDiscovery_FindModule(type, routerSerialNumber);
  if (found == nullptr) return list;
  const linkSpec routerSpec = *found;
  aLinkSpec_Destroy(&found);

  Module router(2, 0);
  (void)router.connectFromSpec(routerSpec);
  SystemClass routerSystem;
  routerSystem.init(&router, 0);
  if (routerSystem.routeToMe(1) != aErrNone) return list;
  for (unsigned address = 2; address <= 252; address += 2) {
    DeviceInfo record;
    if (queryNetworkModule(router, routerSpec, routerSerialNumber, static_cast<uint8_t>(address), replyMs, record)) {
      list.push_back(record);
    }
  }
  (void)routerSystem.routeToMe(0);
  (void)router.disconnect();
  return list;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t router = 0;
  if (argc != 4 || !driver::parseSerial(argv[1], &router)) {
    fputs("usage: network_scan_driver ROUTER_SERIAL TYPE REPLY_MS\n", stderr);
    return 2;
  }
  if (!driver::insidePrivateNamespace()) {
    fputs("network_scan_driver: runs only inside sim/netns_run.sh\n", stderr);
    return 2;
  }
  const linkType type = static_cast<linkType>(strtoul(argv[2], nullptr, 0));
  const unsigned long replyMs = strtoul(argv[3], nullptr, 0);
  LineDisplay display;
  _display_device_list(display, scanOneByOne(router, type, replyMs), type);
  return 0;
}
