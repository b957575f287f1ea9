// Discovery of modules (-D): on USB and TCP/IP, or behind one router module on its device
// network, with each module's addresses, model, firmware version and build, and the table.
#include <cstring>
#include <memory>

#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "aDiscovery.h"
#include "aLinkSpec.h"
#include "aVersion.h"
#include "engine/Updater.h"
#include "engine/UpdaterSteps.h"
#include "module_update/BuildNumberQuery.h"
#include "module_update/NetworkScan.h"

using Tessaron::Halyard::Module;
using Tessaron::Halyard::SystemClass;

using namespace engine;

namespace {

constexpr uint8_t kDefaultModuleAddress = 2;

struct LinkSearch {
  uint32_t serialNumber;
  linkType type;
};

struct SpecDeleter {
  void operator()(linkSpec* spec) const { aLinkSpec_Destroy(&spec); }
};
using SpecPointer = std::unique_ptr<linkSpec, SpecDeleter>;

bool _discovered_device(const linkSpec* spec, bool* found, void* reference) {
  auto* list = static_cast<std::vector<DeviceInfo>*>(reference);
  DeviceInfo record;
  record.spec = *spec;
  list->push_back(record);
  *found = true;
  return true;
}

bool _discovered_link(const linkSpec* spec, bool* found, void* reference) {
  auto* search = static_cast<LinkSearch*>(reference);
  *found = true;
  if (spec->serialNumber != search->serialNumber) return true;
  Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
           static_cast<int>(spec->type));
  search->type = spec->type;
  return false;
}

void queryModule(DeviceInfo& record) {
  record.modelName = aDefs_GetModelName(static_cast<int>(record.spec.model));
  Module module(kDefaultModuleAddress, 0);
  aErr connected = module.connectFromSpec(record.spec);
  if (connected != aErrNone) {
    record.error = connected;
  } else {
    record.buildNumber = _get_build_number(module);
    record.error = _get_version(module, record);
  }
  (void)module.disconnect();  // always aErrNone
}

const char* transportName(linkType type) {
  switch (type) {
    case linkTypeUSB:
      return "USB";
    case linkTypeTCPIP:
      return "TCPIP";
    default:
      return "Unknown";
  }
}

void displayRecord(UpdaterDisplayInterface& display, const DeviceInfo& record) {
  const linkSpec& spec = record.spec;
  if (spec.type == linkTypeTCPIP) {
    uint8_t ip[4];
    memcpy(ip, &spec.t.ip.ipAddress, sizeof ip);  // network byte order: first byte first
    display.message(UpdaterDisplayInterface::INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u) [%d.%d.%d.%d]",
                    spec.serialNumber, spec.moduleAddress, spec.router, record.modelName.c_str(), record.versionMajor,
                    record.versionMinor, static_cast<int>(record.versionPatch), record.buildNumber, ip[0], ip[1],
                    ip[2], ip[3]);
  } else if (record.error != aErrNone) {
    display.message(UpdaterDisplayInterface::INFO, "    %08X  [Error (%d): Is someone else connected to this device?]",
                    spec.serialNumber, static_cast<int>(record.error));
  } else {
    display.message(UpdaterDisplayInterface::INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u)",
                    spec.serialNumber, spec.moduleAddress, spec.router, record.modelName.c_str(), record.versionMajor,
                    record.versionMinor, static_cast<int>(record.versionPatch), record.buildNumber);
  }
}

}  // namespace

uint32_t engine::_get_build_number(Module& module) { return build_number::Read(module); }

aErr engine::_get_version(Module& module, DeviceInfo& record) {
  SystemClass system;
  system.init(&module, 0);
  uint32_t version = 0;
  aErr result = system.getVersion(&version);
  if (result != aErrNone) return result;
  record.versionMajor = static_cast<uint8_t>(aVersion_ParseMajor(version));
  record.versionMinor = static_cast<uint8_t>(aVersion_ParseMinor(version));
  record.versionPatch = aVersion_ParsePatch(version);
  uint8_t address = 0;
  result = system.getModule(&address);
  if (result != aErrNone) return result;
  record.spec.moduleAddress = address;
  result = system.getRouter(&address);
  if (result != aErrNone) return result;
  record.spec.router = address;
  return aErrNone;
}

linkType engine::_discover_link_type(unsigned int serialNumber) {
  LinkSearch search{serialNumber, linkTypeAny};
  aDiscovery_EnumerateModules(linkTypeUSB, _discovered_link, &search);
  if (search.type == linkTypeAny) aDiscovery_EnumerateModules(linkTypeTCPIP, _discovered_link, &search);
  return search.type;
}

namespace {

// One enumeration; a transport that could not be looked at is named with its reason.
void listTransport(UpdaterDisplayInterface& display, linkType transport, std::vector<DeviceInfo>& list) {
  aDiscovery_EnumerateModules(transport, _discovered_device, &list);
  const std::string failure = aDiscovery_LastFailure();
  if (failure.empty()) return;
  display.message(UpdaterDisplayInterface::ERROR, "%s discovery failed: %s",
                  transport == linkTypeUSB ? "USB" : "TCP/IP", failure.c_str());
}

}  // namespace

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
  std::vector<DeviceInfo> list;
  const linkType both[] = {linkTypeUSB, linkTypeTCPIP};
  if (type == linkTypeAny) {
    for (linkType transport : both) listTransport(display, transport, list);
  } else {
    listTransport(display, type, list);
  }
  for (DeviceInfo& record : list) queryModule(record);
  return list;
}

std::vector<DeviceInfo> Updater::Discover_HyNetwork_Devices(unsigned int routerSerialNumber, linkType type) {
  std::vector<DeviceInfo> list;
  (void)Discover_HyNetwork_Devices(routerSerialNumber, type, list);  // the reason is told
  return list;
}

bool Updater::Discover_HyNetwork_Devices(unsigned int routerSerialNumber, linkType type,
                                         std::vector<DeviceInfo>& list) {
  list.clear();
  if (type == linkTypeAny) type = _discover_link_type(routerSerialNumber);
  SpecPointer routerSpec(aDiscovery_FindModule(type, routerSerialNumber));
  if (!routerSpec) {
    display.message(UpdaterDisplayInterface::ERROR, "Router %08X not found", routerSerialNumber);
    return false;
  }

  Module router(kDefaultModuleAddress, 0);
  (void)router.connectFromSpec(*routerSpec);  // a router not reached fails the query below
  SystemClass routerSystem;
  routerSystem.init(&router, 0);
  aErr routing = routerSystem.routeToMe(1);
  if (routing != aErrNone) {
    display.message(UpdaterDisplayInterface::ERROR, "Router %08X not answering: %s", routerSerialNumber,
                    aError_GetErrorDescription(routing));
    (void)router.disconnect();  // always aErrNone
    return false;
  }

  display.display_progress(true);
  NetworkScan scan(router, [this](double done) { display.update_progress(done, nullptr); });
  list = scan.describe(scan.findModules(), *routerSpec, routerSerialNumber);
  display.display_progress(false);
  (void)routerSystem.routeToMe(0);  // best effort at the end of the scan
  (void)router.disconnect();  // always aErrNone
  return true;
}

void engine::_display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& list, linkType type) {
  display.message(UpdaterDisplayInterface::INFO, "Discovered Devices: (%s)", transportName(type));
  if (list.empty()) {
    display.message(UpdaterDisplayInterface::INFO, "    No devices found.");
    return;
  }
  if (type == linkTypeUSB) {
    display.message(UpdaterDisplayInterface::INFO, "    Device    Module   Router  Model          Firmware Version (Build)");
  } else {
    display.message(UpdaterDisplayInterface::INFO,
                    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]");
  }
  for (const DeviceInfo& record : list) displayRecord(display, record);
}
