#include "RunHistory.h"

#include "store/DeviceHistory.h"
#include "store/UpdaterStore.h"
#include "support/InterruptGuard.h"
#include "support/PlaceholderSerial.h"

namespace {

const char* signalThatCame() { return InterruptGuard::Requested() ? InterruptGuard::SignalName() : nullptr; }

}  // namespace

RunHistory::RunHistory(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params,
                       std::vector<std::string> arguments, const char* command,
                       std::function<DeviceRecord()> conclude)
    : display_(display), updater_(updater), params_(params), arguments_(std::move(arguments)), command_(command) {
  InterruptGuard::SetBeforeSignal([this, conclude] { append(conclude(), InterruptGuard::SignalName()); });
}

RunHistory::~RunHistory() { InterruptGuard::SetBeforeSignal(nullptr); }

void RunHistory::Record(const DeviceRecord& device) { append(device, signalThatCame()); }

HistoryRecord RunHistory::Describe(const DeviceRecord& device, const char* interruptedBy) const {
  HistoryRecord record;
  record.device = device;
  if (record.device.serial == 0) record.device.serial = params_.serialNumber;
  if (record.device.file.empty()) record.device.file = params_.birdFile;
  const uint32_t fileBuild = updater_.LastOutcome().fileBuild;
  if (fileBuild != 0) record.fileBuild = fileBuild;
  record.command = command_;
  record.arguments = arguments_;
  record.note = params_.historyMessage;
  if (interruptedBy != nullptr) {
    record.interrupted = interruptedBy;
    if (!record.device.succeeded() && record.device.cause.find("interrupted") == std::string::npos) {
      record.device.cause = std::string("interrupted by ") + interruptedBy;
    }
  }
  return record;
}

void RunHistory::append(const DeviceRecord& device, const char* interruptedBy) {
  if (recorded_) return;
  recorded_ = true;
  HistoryRecord record = Describe(device, interruptedBy);
  // A device not known by its serial number (a recovery the server named none for) has no history.
  if (record.device.serial == 0 || record.device.serial == kPlaceholderSerialNumber) return;
  HistoryRecord_StampNow(&record);
  std::string why;
  if (HistoryRecord_Append(updater_.StoreDirectory(), record, &why)) return;
  const std::string directory =
      UpdaterStore::JoinPath(updater_.StoreDirectory(), UpdaterStore::SerialText(record.device.serial));
  display_.message(UpdaterDisplayInterface::ERROR, "Warning: history file %s not written: %s",
                   DeviceHistory_Path(directory).c_str(), why.c_str());
}
