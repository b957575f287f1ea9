#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "engine/UpdateOutcome.h"
#include "support/Json.h"

// What a command that works on devices (-G, -U, recovery, several devices) came to for one
// device, as programs read it: the same record is the JSON of --json, what a device's process
// of a run over several devices tells its starter, and what the summary table shows.
//
// Its JSON object (field names are kept stable; readers ignore fields they do not know):
//   serial        the device's serial number as 8 upper-case hex digits (text)
//   model         the model name, or null when unknown
//   build_before  the build it ran before (integer), or null when not read
//   build_wanted  the build asked for or held by the file, or null when none
//   build_after   the build it runs after (integer), or null when not known
//   result        "updated", "current" (already ran the build, nothing done), "downloaded"
//                 (-G fetched the file into the store), "failed", "not_run" (a run over several
//                 devices ended before its turn)
//   step          the failed step (UpdateOutcome_StepName), null on success
//   cause         why, in words, null on success
//   state         the state it is left in (UpdateOutcome_StateName)
//   seconds       how long its command took (number), or null
//   file          the firmware file used or stored, or null
struct DeviceRecord {
  enum class Result { Updated, Current, Downloaded, Failed, NotRun };

  uint32_t serial = 0;
  std::string model;
  std::optional<uint32_t> buildBefore;
  std::optional<uint32_t> buildWanted;
  std::optional<uint32_t> buildAfter;
  Result result = Result::Failed;
  UpdateOutcome::Step step = UpdateOutcome::Step::None;
  std::string cause;
  UpdateOutcome::DeviceState state = UpdateOutcome::DeviceState::Unknown;
  std::optional<double> seconds;
  std::string file;

  bool succeeded() const { return result == Result::Updated || result == Result::Current || result == Result::Downloaded; }
};

// What the engine does not know of an update or recovery it ran: given by the caller.
struct DeviceRecordContext {
  std::string model;
  std::string file;
  std::optional<uint32_t> buildWanted;  // when not given, the file's build (when it has one)
  std::optional<double> seconds;
};

// The record of an update or recovery from the engine's outcome. A device on which nothing was
// written still runs what it ran before: its build after is its build before.
DeviceRecord DeviceRecord_FromOutcome(const UpdateOutcome& outcome, const DeviceRecordContext& context);

const char* DeviceRecord_ResultName(DeviceRecord::Result result);
bool DeviceRecord_ResultFromName(const std::string& name, DeviceRecord::Result* result);

// The step and cause as one text, "step: cause" (the cause alone when no step is known).
std::string DeviceRecord_StepAndCause(const DeviceRecord& record);

Json::Value DeviceRecord_ToJson(const DeviceRecord& record);
// The record of a JSON object written by DeviceRecord_ToJson; false, with *why naming the first
// field that is missing or wrong, for anything else.
bool DeviceRecord_FromJson(const Json::Value& object, DeviceRecord* record, std::string* why = nullptr);
