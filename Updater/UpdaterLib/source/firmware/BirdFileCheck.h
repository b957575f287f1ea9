#pragma once
#include <cstdint>
#include <string>

#include "firmware/BirdFile.h"

// What a connected module says of itself, read as the update flow reads it before it writes.
struct DeviceIdentity {
  uint32_t serial = 0;    // 0 when the read failed
  std::string modelName;  // aDefs_GetModelName of the model number (0 when the read failed)
};

// The checks the update flow applies to a bird file before it writes anything; -C shows them.
// Each returns why the file is refused, or an empty text when it passes.

// The path named with -f: a FIFO or device would block the read, a directory holds no firmware
// (a missing file is left to the loader, which says so).
std::string _bird_path_refusal(const std::string& path);
// The file as a whole: every fault of BirdFile::Faults, joined with "; ". A file with any is
// not used, whatever -OVERRIDE says: it was not read whole or does not add up.
std::string _bird_integrity_refusal(const BirdFile& bird);
// The build asked for (a -b number, or the number a stored file is named by): a file whose
// information block names another build is not that build. Not compared when build is 0.
std::string _bird_build_refusal(const BirdFile& bird, unsigned int build);
// The images: a file without a usable loader or firmware image would erase the module's firmware
// and leave it with nothing, or stranded in its loader. Applied whatever -OVERRIDE says.
std::string _bird_image_refusal(const BirdFile& bird);
// The file itself: it holds blocks, and a device-specific file carries the device's serial number
// (not compared when serial is 0: no device named).
std::string _bird_file_refusal(const BirdFile& bird, unsigned int serial);
// The connected device: it reports the serial number it was reached by, and the file is for its model.
std::string _bird_device_refusal(const BirdFile& bird, unsigned int serial, const DeviceIdentity& device);
// A generic file must take the device's serial number into its firmware image, as the update flow
// writes it (bird is changed as the update flow changes its own copy).
std::string _bird_serial_refusal(BirdFile& bird, unsigned int serial);
