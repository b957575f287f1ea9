#include "CheckRecord.h"

#include <cstring>

#include "JsonReport.h"
#include "support/NumberText.h"

namespace {

using Json::Value;

// Checks that find a file damaged or unreadable; every other check refuses it for a device or build.
const char* const kFileChecks[] = {"store", "path", "load", "integrity"};

const char* stepOfCheck(const char* check) {
  for (const char* fileCheck : kFileChecks) {
    if (strcmp(check, fileCheck) == 0) return "file";
  }
  return "validation";
}

Value blockRecord(unsigned number, const BirdBlock& block) {
  const bool placed = block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE;
  return Value::Object()
      .Set("number", Value::Integer(number))
      .Set("type", Value::Integer(block.type))
      .Set("name", Value::String(BlockTypeName(block.type)))
      .Set("flags", Value::Integer(block.flags))
      .Set("length", Value::Integer(block.length))
      .Set("address", placed ? Value::Integer(block.address) : Value::Null());
}

Value infoRecord(const BirdFile& bird) {
  if (bird.FindBlocks(BirdFile::BLOCK_INFO).empty()) return Value::Null();
  return Value::Object()
      .Set("build", Value::Integer(bird.GetBuild()))
      .Set("version", Value::String(bird.GetVersion()))
      .Set("serial", bird.serialReplaceable ? Value::Null() : Value::String(SerialNumberText(bird.GetSerialNumber())))
      .Set("model", Value::String(bird.GetModel()));
}

}  // namespace

std::string BlockTypeName(uint8_t type) {
  switch (type) {
    case BirdFile::BLOCK_LOADER: return "loader";
    case BirdFile::BLOCK_FIRMWARE: return "firmware";
    case BirdFile::BLOCK_SERIAL_OFFSETS: return "serial-number offsets";
    case BirdFile::BLOCK_INFO: return "information";
    case BirdFile::BLOCK_START_ADDRESS: return "start address";
    default: return "type " + std::to_string(type);
  }
}

CheckRecord::CheckRecord(const std::string& path, unsigned int buildWanted) {
  record_ = Value::Object()
                .Set("path", Value::String(path))
                .Set("build_wanted", Value::IntegerOrNull(buildWanted != 0, buildWanted))
                .Set("loaded", Value::Bool(false))
                .Set("format_version", Value::Null())
                .Set("info", Value::Null())
                .Set("blocks", Value::Array())
                .Set("serial_offsets", Value::Null());
}

void CheckRecord::Facts(const BirdFile& bird) {
  Value blocks = Value::Array();
  unsigned number = 0;
  for (const BirdBlock& block : bird.Blocks()) blocks.Append(blockRecord(++number, block));
  Value offsets = Value::Null();
  if (bird.serialReplaceable) {
    offsets = Value::Object()
                  .Set("serial_number", Value::Integer(bird.serialNumberOffset))
                  .Set("descriptor", Value::Integer(bird.descriptorOffset));
  }
  record_.Set("loaded", Value::Bool(true))
      .Set("format_version", Value::Integer(bird.version))
      .Set("info", infoRecord(bird))
      .Set("blocks", std::move(blocks))
      .Set("serial_offsets", std::move(offsets));
}

const std::string& CheckRecord::Fault(const char* check, const std::string& cause) {
  if (!cause.empty()) {
    faults_.Append(Value::Object()
                       .Set("check", Value::String(check))
                       .Set("step", Value::String(stepOfCheck(check)))
                       .Set("cause", Value::String(cause)));
  }
  return cause;
}

Value CheckRecord::Finish(bool sound) {
  Value record = record_;
  record.Set("faults", faults_).Set("sound", Value::Bool(sound));
  return record;
}

Value CheckDocument(Value device, Value files) {
  return Value::Object().Set("device", std::move(device)).Set("files", std::move(files));
}

Value CheckedDeviceRecord(unsigned int serial, bool asked, const DeviceIdentity* device) {
  if (serial == 0) return Value::Null();
  return Value::Object()
      .Set("serial", Value::String(SerialNumberText(serial)))
      .Set("model", device != nullptr ? Value::String(device->modelName) : Value::Null())
      .Set("answered", asked ? Value::Bool(device != nullptr) : Value::Null());
}

void ReportFirstFault(const Value& files) {
  for (const Value& file : files.items()) {
    const Value* faults = file.Find("faults");
    if (faults == nullptr || faults->size() == 0) continue;
    const Value& fault = (*faults)[0];
    UpdateOutcome::Step step = UpdateOutcome::Step::File;
    (void)UpdateOutcome_StepFromName(fault.Find("step")->asString(), &step);
    JsonOutput::Report().SetError(step, fault.Find("cause")->asString());
    return;
  }
}
