#pragma once
// The modules on the device network behind a router module, asked over the router's link with
// several requests in flight at once instead of one address after another.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "aLinkSpec.h"
#include "module_update/DeviceInfo.h"
#include "module_update/ScanLink.h"

namespace Tessaron {
namespace Halyard {
class Module;
}
}  // namespace Tessaron

// A module that answered behind the router.
struct NetworkModule {
  uint8_t address;
  uint32_t serialNumber;
};

class NetworkScan {
 public:
  // Told the share of the work done (0 to 1) as the scan goes.
  using Progress = std::function<void(double)>;

  // The router must be connected and routing to the host (routeToMe(1)) while the scan runs.
  NetworkScan(Tessaron::Halyard::Module& router, Progress progress);
  // A scan over a link of the caller's, to a router at `routerAddress` (tests).
  NetworkScan(ScanLink& link, uint8_t routerAddress, Progress progress);
  ~NetworkScan();

  // Every even address from 2 to 252 asked for its serial number: the modules that answered,
  // in rising address order. With `wanted` non-zero the scan ends once that serial number
  // answered (the result then holds it).
  std::vector<NetworkModule> findModules(uint32_t wanted = 0);

  // The records -D shows for the found modules, in their order: build number, version, module
  // and router addresses and model as the module answers them, the transport part from the
  // router's specifier.
  std::vector<DeviceInfo> describe(const std::vector<NetworkModule>& modules, const linkSpec& routerSpec,
                                   uint32_t routerSerialNumber);

 private:
  std::unique_ptr<ScanLink> ownLink_;
  ScanLink* link_;  // null when the router has no link
  uint8_t routerAddress_;
  Progress progress_;
};
