#include "DeviceOutcome.h"

#include "JsonReport.h"
#include "ReportChannel.h"

namespace {

using State = UpdateOutcome::DeviceState;
using Step = UpdateOutcome::Step;

constexpr int kRecordDocumentVersion = 1;

bool stepOfTheRun(Step step) { return step == Step::Start || step == Step::Process; }

void completeFailure(DeviceRecord& record) {
  record.result = DeviceRecord::Result::Failed;
  if (record.cause.empty()) record.cause = FirstErrorLine();
}

}  // namespace

std::string FirstErrorLine() {
  if (!ReportChannel::FirstError().empty()) return ReportChannel::FirstError();
  return JsonOutput::FirstError();
}

DeviceRecord ConcludeUpdateRecord(Updater& updater, const Parameters& params, bool updated, double seconds,
                                  bool askDevice) {
  const UpdateOutcome& outcome = updater.LastOutcome();
  DeviceRecordContext context;
  context.seconds = seconds;
  if (!params.build.empty()) context.buildWanted = static_cast<uint32_t>(strtoul(params.build.c_str(), nullptr, 10));
  DeviceRecord record = DeviceRecord_FromOutcome(outcome, context);
  if (record.serial == 0) record.serial = params.serialNumber;
  // Nothing was written: what it ran before it still runs. An update that stopped before it
  // connected (no build, a file refused) learnt neither; one read tells both.
  if (askDevice && outcome.state == State::Unchanged && !outcome.reached && outcome.step != Step::Connect &&
      params.transport != linkTypeRecover) {
    uint32_t build = 0;
    if (updater.Read_Device_Build(params.serialNumber, params.routerSerialNumber, 0, build) && build != 0) {
      record.buildBefore = build;
      record.buildAfter = build;
    }
  }
  if (updated) {
    record.result = DeviceRecord::Result::Updated;
    record.step = Step::None;
    record.cause.clear();
  } else {
    completeFailure(record);
  }
  return record;
}

DeviceRecord ConcludeDownloadRecord(const Updater& updater, double seconds) {
  const UpdateOutcome& outcome = updater.LastDownload();
  DeviceRecordContext context;
  context.seconds = seconds;
  DeviceRecord record = DeviceRecord_FromOutcome(outcome, context);
  record.buildBefore.reset();
  record.buildAfter.reset();
  record.state = State::Unchanged;
  if (outcome.result == UpdateOutcome::Result::Updated) {
    record.result = DeviceRecord::Result::Downloaded;
  } else {
    completeFailure(record);
  }
  return record;
}

std::string DeviceRecord_TableState(const DeviceRecord& record) {
  switch (record.state) {
    case State::Running:
    case State::Unchanged:
      if (record.buildAfter) {
        std::string state = "runs build " + std::to_string(*record.buildAfter);
        if (!record.succeeded() && record.buildBefore && *record.buildAfter == *record.buildBefore) {
          state += ", as before";
        }
        return state;
      }
      if (record.state == State::Running) return "running";
      return record.step == Step::Connect ? "not reached" : "unchanged: nothing was written";
    case State::InLoader:
      return "in its loader without complete firmware: update it again";
    case State::NotBack:
      return "rebooted, not back: recover it with -U -t RECOVER";
    case State::FlashMayBeErased:
      return "firmware may be erased: recover it again";
    case State::Unknown:
      break;
  }
  return "unknown";
}

std::string DeviceRecord_TableCause(const DeviceRecord& record) {
  if (stepOfTheRun(record.step)) return record.cause;
  return DeviceRecord_StepAndCause(record);
}

void SendDeviceRecord(const DeviceRecord& record) {
  const Json::Value document = Json::Value::Object()
                                   .Set("schema", Json::Value::Integer(kRecordDocumentVersion))
                                   .Set("record", DeviceRecord_ToJson(record));
  ReportChannel::Send("record", Json::Write(document));
}

bool ReadDeviceRecordDocument(const std::string& text, DeviceRecord* record, std::string* why) {
  Json::Value document;
  if (!Json::Parse(text, &document, why)) return false;
  const Json::Value* version = document.Find("schema");
  if (version == nullptr || !version->isInteger() || version->asInteger() != kRecordDocumentVersion) {
    if (why != nullptr) *why = "not a record of version " + std::to_string(kRecordDocumentVersion);
    return false;
  }
  const Json::Value* body = document.Find("record");
  if (body == nullptr) {
    if (why != nullptr) *why = "no record";
    return false;
  }
  return DeviceRecord_FromJson(*body, record, why);
}
