#include "firmware/BirdFileCheck.h"

#include <sys/stat.h>

#include <cstdio>

namespace {

std::string SerialMismatch(uint32_t fileSerial, unsigned int serial) {
  char text[96];
  snprintf(text, sizeof text, "Bird serial number %08X does not match device %08X", fileSerial, serial);
  return text;
}

}  // namespace

std::string _bird_path_refusal(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return std::string();
  return "Bird file " + path + " is not a regular file";
}

std::string _bird_integrity_refusal(const BirdFile& bird) {
  std::string joined;
  for (const std::string& fault : bird.Faults()) {
    if (!joined.empty()) joined += "; ";
    joined += fault;
  }
  return joined;
}

std::string _bird_build_refusal(const BirdFile& bird, unsigned int build) {
  if (build == 0 || bird.FindBlocks(BirdFile::BLOCK_INFO).empty() || bird.GetBuild() == build) return std::string();
  return "Bird file " + bird.filename + " holds build " + std::to_string(bird.GetBuild()) + ", not build " +
         std::to_string(build);
}

std::string _bird_image_refusal(const BirdFile& bird) {
  const char* missing = !bird.HasUsableImage(BirdFile::BLOCK_LOADER)     ? "loader"
                        : !bird.HasUsableImage(BirdFile::BLOCK_FIRMWARE) ? "firmware"
                                                                           : nullptr;
  if (missing == nullptr) return std::string();
  return "Bird file " + bird.filename + " holds no usable " + missing + " image";
}

std::string _bird_file_refusal(const BirdFile& bird, unsigned int serial) {
  if (bird.blockCount == 0) return "Bird file holds no blocks";
  if (serial != 0 && !bird.serialReplaceable && !bird.ValidateSerialNumber(serial)) {
    return SerialMismatch(bird.GetSerialNumber(), serial);
  }
  return std::string();
}

std::string _bird_device_refusal(const BirdFile& bird, unsigned int serial, const DeviceIdentity& device) {
  if (device.serial != serial) return "Bird serial number and connected device don't match.";
  if (!bird.ValidateModel(device.modelName.c_str())) {
    return "Connected device model and Bird file model do not match [" + device.modelName + "]";
  }
  return std::string();
}

std::string _bird_serial_refusal(BirdFile& bird, unsigned int serial) {
  if (!bird.serialReplaceable || bird.ReplaceSerialNumber(serial)) return std::string();
  return "Unable to modify serial number in bird.";
}
