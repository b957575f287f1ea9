#pragma once
#include <cstdint>
#include <string>

#include "firmware/BirdFile.h"
#include "firmware/BirdFileCheck.h"
#include "support/Json.h"

// The name -C gives a block type ("loader", "firmware", ..., "type N").
std::string BlockTypeName(uint8_t type);

// What -C found of one file, as --json gives it: the file's facts (format version, information
// block, blocks, serial-number offsets) and every fault found, each with the check that found
// it and the step it fails ("file": the file is damaged or unreadable; "validation": it is
// refused for this device or build).
class CheckRecord {
 public:
  CheckRecord(const std::string& path, unsigned int buildWanted);

  void Facts(const BirdFile& bird);
  // Records cause (when not empty) as a fault of this check; returns cause.
  const std::string& Fault(const char* check, const std::string& cause);
  // The record, sound or not as the checks found.
  Json::Value Finish(bool sound);

 private:
  Json::Value record_;
  Json::Value faults_ = Json::Value::Array();
};

// The "check" member: the device checked against (null when none was named) and the files.
Json::Value CheckDocument(Json::Value device, Json::Value files);
// The device named (null for serial 0), and whether it answered and its model when it was asked
// (device: null when it did not answer; not asked under -OVERRIDE).
Json::Value CheckedDeviceRecord(unsigned int serial, bool asked, const DeviceIdentity* device);
// The first fault of the first refused file, as the document's error.
void ReportFirstFault(const Json::Value& files);
