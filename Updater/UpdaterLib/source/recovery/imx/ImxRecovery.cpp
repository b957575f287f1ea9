#include "recovery/imx/ImxRecovery.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "aRetry.h"
#include "firmware/BirdFile.h"
#include "recovery/imx/HID_SDPLoader.h"
#include "recovery/imx/SDPLoader.h"
#include "recovery/imx/Serial_SDPLoader.h"
#include "support/FormattedText.h"
#include "support/InterruptGuard.h"
#include "support/PlaceholderSerial.h"
#include "support/SerialPortFault.h"
#include "support/TestHook.h"

using Tessaron::Halyard::Module;
using Tessaron::Halyard::SystemClass;

using namespace imx_recovery;

namespace {

using UpdaterDisplay = UpdaterDisplayInterface;

constexpr unsigned int kDefaultLoaderEntry = 0x20000400;

uint32_t bigEndian32(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | static_cast<uint32_t>(bytes[3]);
}

void tell(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
}

// The boot ROM's answer to a live loader that failed, in words.
std::string loaderTransferFault(int sdpResult, const std::string& port) {
  const std::string where = port == kUsbPort ? std::string("on USB") : "on " + port;
  switch (sdpResult) {
    case SDPLoader::SDP_NO_ANSWER:
      return "the i.MX boot ROM " + where + " did not answer its status check";
    case SDPLoader::SDP_TRANSFER_INTERRUPTED:
      return "the i.MX boot ROM " + where + " broke off the live loader's transfer";
    case SDPLoader::SDP_FILE_NOT_ACCEPTED:
      return "the i.MX boot ROM " + where + " did not accept the live loader";
    case SDPLoader::SDP_NEEDS_POWER_CYCLE:
      return FormattedText("the i.MX boot ROM %s did not answer its status check, even after %zu KiB to end an "
                    "interrupted write (the board needs a power cycle)",
                    where.c_str(), SDPLoader::LARGEST_PENDING_WRITE / 1024);
    case SDPLoader::SDP_TRANSFER_STOPPED:
      return FormattedText("the live loader's transfer was interrupted by %s", InterruptGuard::SignalName());
    case SDPLoader::SDP_OK:
      return "the live loader file holds no usable loader block";
    default:
      return "no i.MX boot ROM " + where;
  }
}

int transferLoaderBlocks(UpdaterDisplayInterface& display, SDPLoader& loader, BirdFile& bird, int* sdpResult) {
  std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_LOADER);
  // Jumping to an address nothing was written to would start whatever the RAM holds.
  if (blocks.empty()) {
    Log::log(DEBUG_Updater, "The bird file holds no loader block\n");
    return kLoaderWriteFailed;
  }
  int number = 0;
  for (const BirdBlock& block : blocks) {
    if (block.length < 4) {
      Log::log(DEBUG_Updater, "Loader block %d has no load address\n", number);
      return kLoaderWriteFailed;
    }
    std::vector<unsigned char> image(block.image(), block.image() + block.imageLength());
    Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", number, image.size(),
             static_cast<int>(block.address));
    display.display_progress(true);
    *sdpResult = loader.writeLoader(image, block.address,
                                    [&display](double done) { display.update_progress(done, nullptr); });
    display.display_progress(false);
    if (*sdpResult != SDPLoader::SDP_OK) return kLoaderWriteFailed;
    ++number;
  }
  unsigned int entry = kDefaultLoaderEntry;
  std::vector<BirdBlock> starts = bird.FindBlocks(BirdFile::BLOCK_START_ADDRESS);
  if (!starts.empty() && starts.front().length >= 4) entry = bigEndian32(starts.front().data);
  loader.startLoader(entry);
  return kLoaderTransferred;
}

}  // namespace

// Connects module over USB to the first of serials that answers, in up to rounds rounds 200 ms apart.
bool imx_recovery::connectLiveLoader(Module& module, const std::vector<unsigned int>& serials, unsigned rounds) {
  rounds = std::min(rounds, static_cast<unsigned>(TestHook_LongWaitMs(rounds * kLoaderConnectPauseMs) /
                                                      kLoaderConnectPauseMs + 1));
  aErr found = RetryBounded(
      rounds, kLoaderConnectPauseMs,
      [&](unsigned round) {
        aErr result = aErrNotFound;
        for (unsigned int serial : serials) {
          result = module.discoverAndConnect(linkTypeUSB, serial);
          Log::log(DEBUG_Updater, "Looking for the live loader %08X, round %u of %u: %d\n", serial, round, rounds,
                   static_cast<int>(result));
          if (result == aErrNone) break;
        }
        return result;
      },
      RetryPause::Between);
  return found == aErrNone;
}

// The serial numbers a live loader may answer under: the device's, then the placeholder.
std::vector<unsigned int> imx_recovery::liveLoaderSerials(unsigned int serial) {
  std::vector<unsigned int> serials{serial};
  if (serial != kPlaceholderSerialNumber) serials.push_back(kPlaceholderSerialNumber);
  return serials;
}

std::unique_ptr<SDPLoader_Interface> imx_recovery::bootRomTransport(const std::string& port) {
  if (port == kUsbPort) {
    return std::make_unique<HID_SDPLoader>(HID_SDPLoader::IMX_VENDOR_ID, HID_SDPLoader::IMX_PRODUCT_ID);
  }
  return std::make_unique<Serial_SDPLoader>(port.c_str());
}

int imx_recovery::TransferLiveLoader(UpdaterDisplayInterface& display, BirdFile& bird, const std::string& port,
                                     std::string* why) {
  // A serial port is left as it was found, also when the run is interrupted; over USB the write
  // stops between frames, and either way the user is told where the run ended.
  InterruptGuard interruptible;
  int result = kLoaderNoTransport;
  int sdpResult = SDPLoader::SDP_INIT_FAILED;
  bool portBusy = false;
  {
    SDPLoader loader;
    loader.setStopCheck(InterruptGuard::Requested);
    std::unique_ptr<SDPLoader_Interface> transport = bootRomTransport(port);
    if (loader.setLoader(std::move(transport))) {
      Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
      errno = 0;
      if (loader.init() == SDPLoader::SDP_OK) {
        sdpResult = SDPLoader::SDP_OK;
        result = transferLoaderBlocks(display, loader, bird, &sdpResult);
      } else if (port != kUsbPort && errno == EBUSY) {
        portBusy = true;
      }
    }
  }
  if (result != kLoaderTransferred) tell(why, portBusy ? SerialPortInUse(port) : loaderTransferFault(sdpResult, port));
  if (InterruptGuard::Requested()) {
    display.message(UpdaterDisplay::ERROR, "Recovery interrupted by %s while the live loader was written; %s",
                    InterruptGuard::SignalName(),
                    port == kUsbPort ? "the boot ROM is released, the next run ends the write it began"
                                     : "the port is closed");
  }
  return result;
}

bool imx_recovery::ReadUniqueId(UpdaterDisplayInterface& display, BirdFile& bird, const std::string& port,
                                unsigned int serial, uint32_t words[4], bool reset, std::string* why) {
  // A live loader without the device's identity comes up under the placeholder serial number,
  // as the firmware step expects too.
  Module module(0, 0);
  std::string transferFault;
  if (TransferLiveLoader(display, bird, port, &transferFault) != kLoaderTransferred) {
    Log::log(DEBUG_APP, "Error loading liveloader.\n");
    if (IsSerialPortInUse(transferFault)) {
      tell(why, transferFault);
      return false;
    }
    // After a jump the boot ROM is gone until the chip is reset, while the live loader that an
    // interrupted run started may still be running: that one will do.
    if (!connectLiveLoader(module, liveLoaderSerials(serial), kRunningLoaderAttempts)) {
      tell(why, transferFault + " and no live loader is running on USB");
      return false;
    }
    Log::log(DEBUG_APP, "Using the live loader already running on USB\n");
  } else if (!connectLiveLoader(module, liveLoaderSerials(serial))) {
    Log::log(DEBUG_APP, "Could not connect to device.\n");
    tell(why, FormattedText("the live loader did not come up on USB within %u s",
                     static_cast<unsigned>(kLoaderConnectAttempts * kLoaderConnectPauseMs / 1000)));
    return false;
  }
  SystemClass system;
  system.init(&module, 0);
  for (uint8_t index = 0; index < 4; ++index) {
    uint32_t word = 0;
    aErr result = system.getUniqueIdentifier(index, &word);
    if (result != aErrNone) {
      Log::log(DEBUG_APP, "Error getting Identifier %d.\n", index);
      tell(why, FormattedText("the live loader did not give the chip's identifier (%s)", aError_GetErrorText(result)));
      return false;
    }
    words[3 - index] = word;
  }
  if (reset) (void)system.reset();  // the fingerprint is read; the reset only helps
  return true;
}
