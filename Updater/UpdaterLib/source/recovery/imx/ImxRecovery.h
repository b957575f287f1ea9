#pragma once
// The recovery of an i.MX chip through its boot ROM's Serial Download Protocol: the transport to
// the boot ROM (its HID device on USB, or a serial port), the transfer and start of a live loader
// from a bird file, and the chip's identification through that loader once it is up on USB.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

class BirdFile;
class SDPLoader_Interface;
namespace Tessaron {
namespace Halyard {
class Module;
}
}  // namespace Tessaron

namespace imx_recovery {

// The port name that stands for the boot ROM's HID device on USB, never a serial port.
constexpr const char* kUsbPort = "USB";

// The live loader comes up on USB some time after the boot ROM jumped to it: it is looked for every
// 200 ms, for 15 s in all. One that an earlier run started is there already, though it may still
// be letting go of that run's link: it is looked for for 3 s.
constexpr unsigned kLoaderConnectAttempts = 75;
constexpr unsigned kRunningLoaderAttempts = 15;
constexpr unsigned long kLoaderConnectPauseMs = 200;

// Results of TransferLiveLoader.
constexpr int kLoaderTransferred = 0;
constexpr int kLoaderNoTransport = 11;
constexpr int kLoaderWriteFailed = 25;

// Writes the bird file's loader blocks through the boot ROM on port (kUsbPort: its HID device)
// and starts the loader: kLoaderTransferred, kLoaderNoTransport when the boot ROM cannot be
// opened, kLoaderWriteFailed when a block failed (*why, when given, tells the cause). A serial
// port is left as it was found, also when the run is interrupted; then the user is told where
// the run ended.
[[nodiscard]] int TransferLiveLoader(UpdaterDisplayInterface& display, BirdFile& bird, const std::string& port,
                                     std::string* why);

// Starts the live loader of bird through the boot ROM on port (or, when the boot ROM is gone,
// takes the one an interrupted run started) and reads the chip's unique identifier through it
// over USB; reset: restart the loader afterwards. On failure *why (when given) tells the cause.
[[nodiscard]] bool ReadUniqueId(UpdaterDisplayInterface& display, BirdFile& bird, const std::string& port,
                                unsigned int serial, uint32_t words[4], bool reset, std::string* why);

// Connects module over USB to the first of serials that answers, in up to rounds rounds 200 ms apart.
bool connectLiveLoader(Tessaron::Halyard::Module& module, const std::vector<unsigned int>& serials,
                       unsigned rounds = kLoaderConnectAttempts);
// The serial numbers a live loader may answer under: the device's, then the placeholder.
std::vector<unsigned int> liveLoaderSerials(unsigned int serial);
// The transport to the boot ROM on port.
std::unique_ptr<SDPLoader_Interface> bootRomTransport(const std::string& port);

}  // namespace imx_recovery
