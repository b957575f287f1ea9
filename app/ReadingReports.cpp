#include "ReadingReports.h"

#include "JsonRecords.h"
#include "JsonReport.h"
#include "support/NumberText.h"

namespace {

using Json::Value;

JsonReport& document() { return JsonOutput::Report(); }

const char* chipName(Updater::RecoveryChip chip) { return chip == Updater::RecoveryChip::LPC ? "LPC" : "IMX"; }

}  // namespace

void ReadingReports::Failure(UpdateOutcome::Step step, const std::string& cause) {
  document().SetError(step, cause.empty() ? JsonOutput::FirstError() : cause);
}

void ReadingReports::DiscoveryStarts(unsigned int routerSerial) {
  document().Set("devices", Value::Array());
  document().Set("transports", Value::Array());
  document().Set("router", routerSerial != 0 ? Value::String(SerialNumberText(routerSerial)) : Value::Null());
}

void ReadingReports::Discovered(const std::vector<DeviceInfo>& list, const std::vector<TransportSearch>& searches,
                                const std::vector<Json::Value>* stored) {
  Value devices = Value::Array();
  for (size_t index = 0; index < list.size(); ++index) {
    Value device = JsonRecords::DiscoveredDevice(list[index]);
    if (stored != nullptr && index < stored->size()) device.Set("stored", (*stored)[index]);
    devices.Append(std::move(device));
  }
  document().Set("devices", std::move(devices));
  if (!searches.empty()) document().Set("transports", JsonRecords::Transports(searches));
}

void ReadingReports::RouterScanned() {
  document().Set("transports", Value::Array().Append(JsonRecords::Transport("router", std::string())));
}

void ReadingReports::RouterScanFailed(const std::string& cause) {
  document().Set("transports", Value::Array().Append(JsonRecords::Transport("router", cause)));
  Failure(UpdateOutcome::Step::Discovery, cause);
}

void ReadingReports::BuildsStart(unsigned int serial) {
  document().Set("device", Value::String(SerialNumberText(serial)));
  document().Set("builds", Value::Array());
  document().Set("latest", Value::Object().Set("build", Value::Null()).Set("cause", Value::Null()));
}

void ReadingReports::BuildsListed(Updater& updater, unsigned int serial,
                                  const std::map<std::string, std::string>& builds) {
  if (!JsonOutput::Active()) return;
  uint32_t latest = 0;
  std::string cause;
  const bool named = updater.Get_LatestBuild(serial, latest, cause);
  document().Set("builds", JsonRecords::ServerBuilds(builds, named ? latest : 0));
  document().Set("latest", Value::Object()
                               .Set("build", named ? Value::Integer(latest) : Value::Null())
                               .Set("cause", named ? Value::Null() : Value::String(cause)));
}

void ReadingReports::FingerprintStarts() { document().Set("fingerprint", Value::Null()); }

void ReadingReports::FingerprintTaken(const Fingerprint& fingerprint, Updater::RecoveryChip chip,
                                      const std::string& port) {
  document().Set("fingerprint", JsonRecords::FingerprintRecord(fingerprint, chipName(chip), port));
}
