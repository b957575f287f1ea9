#include "RunHistory.h"

#include "store/DeviceHistory.h"
#include "store/UpdaterStore.h"
#include "support/InterruptGuard.h"
#include "support/PlaceholderSerial.h"

RunHistory::RunHistory(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params,
                       std::vector<std::string> arguments, const char* command)
    : display_(display), updater_(updater), params_(params), arguments_(std::move(arguments)), command_(command) {
  InterruptGuard::SetBeforeSignal([this] { append(updater_.LastOutcome(), InterruptGuard::SignalName()); });
}

RunHistory::~RunHistory() { InterruptGuard::SetBeforeSignal(nullptr); }

void RunHistory::Record() { append(updater_.LastOutcome(), nullptr); }

void RunHistory::RecordFailure(UpdateOutcome::Step step, const std::string& cause) {
  UpdateOutcome outcome;
  outcome.serial = params_.serialNumber;
  outcome.result = UpdateOutcome::Result::Failed;
  outcome.step = step;
  outcome.cause = cause;
  outcome.state = UpdateOutcome::DeviceState::Unchanged;
  append(outcome, nullptr);
}

HistoryRecord RunHistory::Describe(const UpdateOutcome& outcome, const char* interruptedBy) const {
  DeviceRecordContext context;
  context.file = params_.birdFile;
  context.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  HistoryRecord record;
  record.device = DeviceRecord_FromOutcome(outcome, context);
  if (record.device.serial == 0) record.device.serial = params_.serialNumber;
  if (outcome.fileBuild != 0) record.fileBuild = outcome.fileBuild;
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

void RunHistory::append(const UpdateOutcome& outcome, const char* interruptedBy) {
  if (recorded_) return;
  recorded_ = true;
  HistoryRecord record = Describe(outcome, interruptedBy);
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
