#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/DeviceInfo.h"
#include "engine/Fingerprint.h"
#include "engine/UpdateOutcome.h"
#include "engine/Updater.h"
#include "support/Json.h"

// What the reading commands (-D, -B, -N) put into the --json document (JsonOutput::Report()).
// Each command's fields are set when it starts, so that a document of a command that failed
// still holds them (empty or null); a failure sets the document's error.
namespace ReadingReports {

// The failure that belongs to no device: its step and cause (the first error line shown when the
// cause is empty).
void Failure(UpdateOutcome::Step step, const std::string& cause);

// -D: devices, transports and router; stored (-D -I, when given) adds what the store keeps on
// each device of the list (ShowStoredDevices).
void DiscoveryStarts(unsigned int routerSerial);
void Discovered(const std::vector<DeviceInfo>& list, const std::vector<TransportSearch>& searches,
                const std::vector<Json::Value>* stored);
// A scan of a router's device network: the one transport, "router", searched or failed.
void RouterScanned();
void RouterScanFailed(const std::string& cause);

// -B: device, builds and latest. The latest build is asked of the server only for the document.
void BuildsStart(unsigned int serial);
void BuildsListed(Updater& updater, unsigned int serial, const std::map<std::string, std::string>& builds);

// -N: the fingerprint, or null.
void FingerprintStarts();
void FingerprintTaken(const Fingerprint& fingerprint, Updater::RecoveryChip chip, const std::string& port);

}  // namespace ReadingReports
