#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/DeviceInfo.h"
#include "engine/Fingerprint.h"
#include "store/StoredDevice.h"
#include "support/Json.h"

// The records --json gives of what the reading commands found, in the names of the document's
// schema (packaging/schema/updater.schema.json): -D's modules and transports, -B's builds, -I's
// stored devices and -N's fingerprint.
namespace JsonRecords {

// A module discovery found: serial, model, build and version (null when it could not be asked:
// cause says why), transport ("USB", "TCP"), address and port (TCP), module and router addresses,
// and the router it is reached through (null when reached directly).
Json::Value DiscoveredDevice(const DeviceInfo& record);
// Each transport searched: its name ("USB", "TCP", "router"), ok, and why a search failed.
Json::Value Transports(const std::vector<TransportSearch>& searches);
Json::Value Transport(const char* name, const std::string& failure);

// The builds the server offers, by build number, each with "latest" set for the build the server
// names latest (0: none known). An entry whose name is no build number keeps its name.
Json::Value ServerBuilds(const std::map<std::string, std::string>& builds, uint32_t latest);

// What the store keeps on one device.
Json::Value StoredDeviceRecord(uint32_t serial, const StoredDevice& device);

// A chip's identification: its kind ("LPC", "IMX"), its four words as hex text and the port.
Json::Value FingerprintRecord(const Fingerprint& fingerprint, const char* chip, const std::string& port);

}  // namespace JsonRecords
