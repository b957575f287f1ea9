#include "CheckCommand.h"

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "CheckRecord.h"
#include "JsonReport.h"
#include "firmware/BirdFile.h"
#include "firmware/BirdFileCheck.h"
#include "store/StoredDevice.h"
#include "support/NumberText.h"
#include "support/PrintableText.h"

namespace {

using Display = UpdaterDisplayInterface;

// One file to check: a path, for a stored build why the store would not read it, and the build
// it must hold (-b, or the number a stored file is named by; 0: none).
struct CheckTarget {
  std::string path;
  std::string storeProblem;
  unsigned int build = 0;
  BirdFile::Links links = BirdFile::Links::Follow;  // a stored build is never read through a link
};

// 1234 for a stored file named 1234.bird; 0 for any other name.
unsigned int NamedBuild(const std::string& fileName) {
  const size_t digits = fileName.find_first_not_of("0123456789");
  if (digits == 0 || digits == std::string::npos || fileName.compare(digits, std::string::npos, ".bird") != 0) return 0;
  uint32_t build = 0;
  return ParseBuildNumber(fileName.substr(0, digits).c_str(), &build) ? build : 0;
}

// Checks files one by one against one device (or none), as -U would; keeps each file's record
// for --json, with every fault found (a person is shown the first).
class BirdFileChecker {
 public:
  BirdFileChecker(Display& display, unsigned int serial, bool override, const DeviceIdentity* device)
      : display_(display), serial_(serial), override_(override), device_(device) {}

  // True when -U would go on with the file.
  bool check(const CheckTarget& target) {
    const std::string shown = PrintableText(target.path);
    display_.message(Display::INFO, "Bird file: %s", shown.c_str());
    CheckRecord record(target.path, target.build);
    const bool sound = checkFile(target, shown, record);
    files_.Append(record.Finish(sound));
    return sound;
  }

  Json::Value Files() const { return files_; }

 private:
  bool checkFile(const CheckTarget& target, const std::string& shown, CheckRecord& record) {
    if (!target.storeProblem.empty()) return refuse(shown, record.Fault("store", target.storeProblem));
    const std::string pathRefusal = _bird_path_refusal(target.path);
    if (!pathRefusal.empty()) return refuse(shown, record.Fault("path", pathRefusal));
    BirdFile bird;
    try {
      bird = BirdFile(target.path.c_str(), target.links);
    } catch (const BirdFileLoadError& error) {
      return refuse(shown, record.Fault("load", error.describe()));
    } catch (const std::exception& error) {
      return refuse(shown, record.Fault("load", error.what()));
    }
    showFacts(bird);
    record.Facts(bird);
    // In the update's order. Every check runs, for the record; a person is shown the first
    // refusal. -OVERRIDE skips only the serial number and model checks.
    for (const std::string& fault : bird.Faults()) record.Fault("integrity", fault);
    std::vector<std::string> refusals{_bird_integrity_refusal(bird)};
    refusals.push_back(record.Fault("build", _bird_build_refusal(bird, target.build)));
    refusals.push_back(record.Fault("images", _bird_image_refusal(bird)));
    refusals.push_back(record.Fault("serial_number", _bird_serial_refusal(bird, serial_)));
    refusals.push_back(record.Fault("file", _bird_file_refusal(bird, override_ ? 0 : serial_)));
    if (!override_ && device_ != nullptr) {
      refusals.push_back(record.Fault("device", _bird_device_refusal(bird, serial_, *device_)));
    }
    for (const std::string& refusal : refusals) {
      if (!refusal.empty()) return refuse(shown, refusal);
    }
    showVerdict();
    return true;
  }

  bool refuse(const std::string& path, const std::string& reason) {
    display_.message(Display::ERROR, "Check of %s failed: %s", path.c_str(), PrintableText(reason).c_str());
    return false;
  }

  void field(const char* label, const std::string& value) {
    display_.message(Display::INFO, "  %-16s%s", label, PrintableText(value).c_str());
  }

  void showFacts(const BirdFile& bird) {
    char text[64];
    snprintf(text, sizeof text, "0x%04X", bird.version);
    field("Format version:", text);
    const bool hasInfo = !bird.FindBlocks(BirdFile::BLOCK_INFO).empty();
    field("Build:", hasInfo ? std::to_string(bird.GetBuild()) : "(no information block)");
    field("Version:", bird.GetVersion());
    snprintf(text, sizeof text, "%08X", bird.GetSerialNumber());
    field("Serial number:", bird.serialReplaceable ? "generic" : text);
    field("Model:", bird.GetModel());
    field("Blocks:", std::to_string(bird.blockCount));
    unsigned number = 0;
    for (const BirdBlock& block : bird.Blocks()) showBlock(++number, block);
    if (bird.serialReplaceable) {
      display_.message(Display::INFO, "  Serial-number offsets: serial number 0x%08X, descriptor 0x%08X",
                       bird.serialNumberOffset, bird.descriptorOffset);
    }
    if (!bird.blockListProblem.empty()) {
      display_.message(Display::INFO, "  Warning: %s", bird.blockListProblem.c_str());
    }
  }

  void showBlock(unsigned number, const BirdBlock& block) {
    const std::string name = BlockTypeName(block.type);
    if (block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE) {
      display_.message(Display::INFO, "    %2u: %-22s flags %u  length %-8u address 0x%08X", number, name.c_str(),
                       block.flags, block.length, block.address);
    } else {
      display_.message(Display::INFO, "    %2u: %-22s flags %u  length %u", number, name.c_str(), block.flags,
                       block.length);
    }
  }

  void showVerdict() {
    if (serial_ == 0) {
      display_.message(Display::INFO, "Sound bird file");
    } else if (override_) {
      display_.message(Display::INFO, "Sound bird file; -OVERRIDE skips the model and serial number checks");
    } else if (device_ != nullptr) {
      display_.message(Display::INFO, "Sound bird file: -U would accept it for device %08X", serial_);
    } else {
      display_.message(Display::INFO, "Sound bird file for device %08X (model not checked)", serial_);
    }
  }

  Display& display_;
  unsigned int serial_;
  bool override_;
  const DeviceIdentity* device_;
  Json::Value files_ = Json::Value::Array();
};

// The targets: the file named with -f, else the device's stored bird files. False (with the user
// told why) when there is nothing to check.
bool CollectTargets(Display& display, Updater& updater, const Parameters& params, std::vector<CheckTarget>& targets) {
  if (!params.birdFile.empty()) {
    uint32_t build = 0;
    if (!params.build.empty() && !ParseBuildNumber(params.build.c_str(), &build)) build = 0;
    targets.push_back({params.birdFile, std::string(), build});
    return true;
  }
  StoredDevice device;
  if (!updater.Read_Stored_Device(params.serialNumber, device)) {
    display.message(Display::ERROR, "No stored information for device %08X", params.serialNumber);
    return false;
  }
  if (device.builds.empty()) {
    display.message(Display::ERROR, "No bird files stored for device %08X in %s", params.serialNumber,
                    device.directory.c_str());
    return false;
  }
  for (const StoredBuild& build : device.builds) {
    targets.push_back({build.path, build.problem, NamedBuild(build.fileName), BirdFile::Links::Refuse});
  }
  return true;
}

}  // namespace

int RunCheckCommand(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params) {
  JsonReport& document = JsonOutput::Report();
  document.Set("check", CheckDocument(Json::Value::Null(), Json::Value::Array()));
  if (params.birdFile.empty() && params.serialNumber == 0) return 0;
  std::vector<CheckTarget> targets;
  if (!CollectTargets(display, updater, params, targets)) {
    document.SetError(UpdateOutcome::Step::Store, JsonOutput::FirstError());
    return 1;
  }

  DeviceIdentity identity;
  const DeviceIdentity* device = nullptr;
  if (params.serialNumber != 0 && !params.overrideModelCheck) {
    if (updater.Read_Device_Identity(params.serialNumber, identity)) {
      device = &identity;
      display.message(Display::INFO, "Device %08X: model %s", params.serialNumber,
                      PrintableText(identity.modelName).c_str());
    } else {
      display.message(Display::INFO, "Device %08X does not answer; its model is not checked", params.serialNumber);
    }
  }
  BirdFileChecker checker(display, params.serialNumber, params.overrideModelCheck, device);
  bool sound = true;
  for (const CheckTarget& target : targets) sound = checker.check(target) && sound;
  const Json::Value checked = CheckedDeviceRecord(params.serialNumber, !params.overrideModelCheck, device);
  document.Set("check", CheckDocument(checked, checker.Files()));
  if (!sound) ReportFirstFault(checker.Files());
  return sound ? 0 : 1;
}
