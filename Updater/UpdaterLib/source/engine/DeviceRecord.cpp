#include "engine/DeviceRecord.h"

#include <cstdio>
#include <cstdlib>

#include "support/EnumNames.h"

namespace {

using Result = DeviceRecord::Result;
using State = UpdateOutcome::DeviceState;

constexpr EnumName<Result> kResultNames[] = {
    {Result::Updated, "updated"},   {Result::Current, "current"}, {Result::Downloaded, "downloaded"},
    {Result::Failed, "failed"},     {Result::NotRun, "not_run"},
};

std::optional<uint32_t> knownBuild(uint32_t build) {
  if (build == 0) return std::nullopt;
  return build;
}

Json::Value buildValue(const std::optional<uint32_t>& build) {
  return build ? Json::Value::Integer(*build) : Json::Value::Null();
}

std::string serialText(uint32_t serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

// Reading a record: each field is checked for its type, and the first fault is named.
class FieldReader {
 public:
  FieldReader(const Json::Value& object, std::string* why) : object_(object), why_(why) {}

  bool fail(const char* field, const char* fault) {
    if (why_ != nullptr) *why_ = std::string(field) + ": " + fault;
    return false;
  }

  // Missing fields and nulls leave the field as it is.
  const Json::Value* present(const char* field) {
    const Json::Value* value = object_.Find(field);
    return value == nullptr || value->isNull() ? nullptr : value;
  }

  bool text(const char* field, std::string* out) {
    const Json::Value* value = present(field);
    if (value == nullptr) return true;
    if (!value->isString()) return fail(field, "not text");
    *out = value->asString();
    return true;
  }

  bool build(const char* field, std::optional<uint32_t>* out) {
    const Json::Value* value = present(field);
    if (value == nullptr) return true;
    if (!value->isInteger() || value->asInteger() < 0 || value->asInteger() > UINT32_MAX) {
      return fail(field, "not a build number");
    }
    *out = static_cast<uint32_t>(value->asInteger());
    return true;
  }

  bool seconds(const char* field, std::optional<double>* out) {
    const Json::Value* value = present(field);
    if (value == nullptr) return true;
    if (!value->isNumber() || value->asNumber() < 0) return fail(field, "not a number of seconds");
    *out = value->asNumber();
    return true;
  }

  bool serial(const char* field, uint32_t* out) {
    const Json::Value* value = present(field);
    if (value == nullptr) return fail(field, "missing");
    const std::string& text = value->asString();
    char* end = nullptr;
    const unsigned long number = strtoul(text.c_str(), &end, 16);
    if (!value->isString() || text.size() != 8 || text.find_first_not_of("0123456789ABCDEF") != std::string::npos ||
        end == nullptr || *end != '\0') {
      return fail(field, "not 8 hex digits");
    }
    *out = static_cast<uint32_t>(number);
    return true;
  }

  template <typename Enum>
  bool named(const char* field, bool required, bool (*fromName)(const std::string&, Enum*), Enum* out) {
    const Json::Value* value = present(field);
    if (value == nullptr) return required ? fail(field, "missing") : true;
    if (!value->isString() || !fromName(value->asString(), out)) return fail(field, "not a known name");
    return true;
  }

 private:
  const Json::Value& object_;
  std::string* why_;
};

}  // namespace

DeviceRecord DeviceRecord_FromOutcome(const UpdateOutcome& outcome, const DeviceRecordContext& context) {
  DeviceRecord record;
  record.serial = outcome.serial;
  record.model = context.model.empty() ? outcome.model : context.model;
  record.file = context.file.empty() ? outcome.file : context.file;
  record.seconds = context.seconds;
  record.buildWanted = context.buildWanted ? context.buildWanted : knownBuild(outcome.fileBuild);
  record.buildBefore = knownBuild(outcome.buildBefore);
  if (outcome.state == State::Running) {
    record.buildAfter = knownBuild(outcome.buildAfter);
  } else if (outcome.state == State::Unchanged) {
    record.buildAfter = record.buildBefore;
  }
  record.result = outcome.succeeded() ? Result::Updated : Result::Failed;
  record.state = outcome.state;
  if (!outcome.succeeded()) {
    record.step = outcome.step;
    record.cause = outcome.cause;
  }
  return record;
}

const char* DeviceRecord_ResultName(Result result) { return NameOf(kResultNames, result, "failed"); }

bool DeviceRecord_ResultFromName(const std::string& name, Result* result) {
  return ValueOf(kResultNames, name, result);
}

std::string DeviceRecord_StepAndCause(const DeviceRecord& record) {
  if (record.step == UpdateOutcome::Step::None) return record.cause;
  return std::string(UpdateOutcome_StepName(record.step)) + ": " + record.cause;
}

Json::Value DeviceRecord_ToJson(const DeviceRecord& record) {
  const bool failed = record.step != UpdateOutcome::Step::None;
  return Json::Value::Object()
      .Set("serial", Json::Value::String(serialText(record.serial)))
      .Set("model", Json::Value::StringOrNull(record.model))
      .Set("build_before", buildValue(record.buildBefore))
      .Set("build_wanted", buildValue(record.buildWanted))
      .Set("build_after", buildValue(record.buildAfter))
      .Set("result", Json::Value::String(DeviceRecord_ResultName(record.result)))
      .Set("step", failed ? Json::Value::String(UpdateOutcome_StepName(record.step)) : Json::Value::Null())
      .Set("cause", Json::Value::StringOrNull(record.cause))
      .Set("state", Json::Value::String(UpdateOutcome_StateName(record.state)))
      .Set("seconds", record.seconds ? Json::Value::Number(*record.seconds) : Json::Value::Null())
      .Set("file", Json::Value::StringOrNull(record.file));
}

bool DeviceRecord_FromJson(const Json::Value& object, DeviceRecord* record, std::string* why) {
  FieldReader read(object, why);
  if (!object.isObject()) return read.fail("record", "not an object");
  DeviceRecord parsed;
  const bool ok = read.serial("serial", &parsed.serial) && read.text("model", &parsed.model) &&
                  read.build("build_before", &parsed.buildBefore) &&
                  read.build("build_wanted", &parsed.buildWanted) && read.build("build_after", &parsed.buildAfter) &&
                  read.named("result", true, DeviceRecord_ResultFromName, &parsed.result) &&
                  read.named("step", false, UpdateOutcome_StepFromName, &parsed.step) &&
                  read.text("cause", &parsed.cause) &&
                  read.named("state", true, UpdateOutcome_StateFromName, &parsed.state) &&
                  read.seconds("seconds", &parsed.seconds) && read.text("file", &parsed.file);
  if (ok && record != nullptr) *record = std::move(parsed);
  return ok;
}
