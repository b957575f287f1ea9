#include "AppMain.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "CLI_Display.h"
#include "CheckCommand.h"
#include "DeviceOutcome.h"
#include "InfoCommand.h"
#include "Log.h"
#include "LogFile.h"
#include "ParamParser.h"
#include "Parameters.h"
#include "ReportChannel.h"
#include "SeveralDevices.h"
#include "Usage.h"
#include "aDirectory.h"
#include "aPath.h"
#include "engine/Updater.h"
#include "store/StoreFolder.h"
#include "support/PlaceholderSerial.h"

namespace {

enum ExitStatus { kExitSuccess = 0, kExitFailure = 1 };

int worst(int status, int other) { return status != kExitSuccess ? status : other; }

// Runs the requested commands once the updater directory exists.
class CommandRunner {
 public:
  CommandRunner(CLI_Display& display, Parameters& params, Updater& updater)
      : display_(display), params_(params), updater_(updater) {}

  int run() {
    int status = kExitSuccess;
    if (params_.commands.IsSet(CMD_FINGERPRINT)) {
      if (params_.serialPort.empty()) return error("Must specify the serial port used for connecting");
      status = fingerprint();
    }
    if (params_.commands.IsSet(CMD_GET_BUILD)) {
      if (params_.serialNumber == 0) {
        error("-G must specify a specific device via -d");
        return error("--help for usage information");
      }
      const int downloaded = download();
      status = worst(status, downloaded);
      // -G -U installs exactly the build just fetched, or nothing.
      if (downloaded != kExitSuccess && params_.commands.IsSet(CMD_UPDATE) && !params_.commands.IsSet(CMD_DISCOVER)) {
        return error("Download failed: no firmware was installed");
      }
    }
    // -C and -I only read; a failure of either is kept in the status, as one of -N or -G is.
    if (params_.commands.IsSet(CMD_CHECK) && RunCheckCommand(display_, updater_, params_) != kExitSuccess) {
      status = kExitFailure;
    }
    // The run fails when any of its commands failed.
    if (params_.commands.IsSet(CMD_DISCOVER)) return worst(status, discover());
    if (params_.commands.IsSet(CMD_INFO) && params_.serialNumber != 0 &&
        RunInfoCommand(display_, updater_, params_.serialNumber) != kExitSuccess) {
      status = kExitFailure;
    }
    if (params_.commands.IsSet(CMD_UPDATE)) return worst(status, update());
    if (params_.commands.IsSet(CMD_LIST_BUILDS)) return worst(status, listBuilds());
    return status;
  }

 private:
  int error(const char* text) {
    display_.message(UpdaterDisplayInterface::ERROR, "%s", text);
    return kExitFailure;
  }

  void info(const char* text) { display_.message(UpdaterDisplayInterface::INFO, "%s", text); }

  int fingerprint() {
    Fingerprint print{};
    if (!updater_.Get_Fingerprint(print, params_.serialPort, kPlaceholderSerialNumber, params_.birdFile,
                                  params_.baudRate, true)) {
      display_.message(UpdaterDisplayInterface::ERROR, "Got no response from chip");
      return error(kNothingWrittenLine);
    }
    engine::_display_fingerprint(display_, print);
    return kExitSuccess;
  }

  int download() {
    display_.message(UpdaterDisplayInterface::INFO, "Retrieving firmware for device with serial number %08X",
                     params_.serialNumber);
    if (params_.build.empty()) {
      info("No build specified");
      info("Using Latest build");
    } else {
      display_.message(UpdaterDisplayInterface::INFO, "Retrieving firmware build %s", params_.build.c_str());
    }
    int build = updater_.Download_Firmware(params_.serialNumber, params_.build, params_.overrideModelCheck, false);
    if (build == 0) return kExitFailure;
    ReportChannel::Send("downloaded", std::to_string(static_cast<unsigned int>(build)));
    // A following -U installs exactly the build just fetched.
    params_.build = std::to_string(static_cast<unsigned int>(build));
    return kExitSuccess;
  }

  int discover() {
    linkType transport = params_.transportGiven && params_.transport != linkTypeRecover ? params_.transport : linkTypeAny;
    if (params_.routerSerialNumber != 0) {
      display_.message(UpdaterDisplayInterface::INFO, "Searching for Halyard Network devices connected to %08X",
                       params_.routerSerialNumber);
      std::vector<DeviceInfo> list;
      if (!updater_.Discover_HyNetwork_Devices(params_.routerSerialNumber, transport, list)) return kExitFailure;
      engine::_display_device_list(display_, list, transport);
      if (params_.commands.IsSet(CMD_INFO)) ShowStoredDevices(display_, updater_, list);
      return kExitSuccess;
    }
    info("Searching for Halyard devices");
    std::vector<DeviceInfo> list = updater_.Discover_Devices(transport);
    engine::_display_device_list(display_, list, transport);
    if (params_.commands.IsSet(CMD_INFO)) ShowStoredDevices(display_, updater_, list);
    return kExitSuccess;
  }

  unsigned int buildNumber() const {
    if (params_.build.empty()) return 0;
    return static_cast<unsigned int>(strtoul(params_.build.c_str(), nullptr, 10));
  }

  int update() {
    unsigned int build = buildNumber();
    if (params_.transport == linkTypeRecover) {
      bool recovered = updater_.Recover_Firmware(params_.serialPort, build, params_.baudRate, params_.serialNumber,
                                                 params_.birdFile, params_.overrideModelCheck);
      return recovered ? kExitSuccess : kExitFailure;
    }
    if (params_.serialNumber == 0) return error("Must specify the specific device to be updated");
    if (!ReportChannel::Active()) return install(build) ? kExitSuccess : kExitFailure;
    // One device of a run over several: its starter is told the build before and after as well.
    const bool updated = install(build);
    SendDeviceOutcome(ConcludeDeviceOutcome(updater_, params_, updated));
    return updated ? kExitSuccess : kExitFailure;
  }

  bool install(unsigned int build) {
    return updater_.Update_Firmware(params_.serialNumber, build, params_.birdFile, params_.moduleAddress,
                                    params_.routerSerialNumber, params_.overrideModelCheck);
  }

  int listBuilds() {
    if (params_.serialNumber == 0) {
      error("Error must supply a serial number for the List Builds command");
      _display_usage(false, false);
      return kExitFailure;
    }
    std::map<std::string, std::string> builds;
    // The failure was reported by the engine; an empty list is only an answer when the server gave it.
    if (!updater_.Get_BuildList(params_.serialNumber, builds)) return kExitFailure;
    engine::_display_builds(display_, builds, params_.serialNumber);
    return kExitSuccess;
  }

  CLI_Display& display_;
  Parameters& params_;
  Updater& updater_;
};

// The process of one device of a run over several shares the -k file with the others: each of
// its lines carries the device's serial number.
std::string logLineTag(const Parameters& params) {
  if (!ReportChannel::Active() || params.serialNumber == 0) return std::string();
  char serial[9];
  snprintf(serial, sizeof serial, "%08X", params.serialNumber);
  return serial;
}

// -k: records go to the file as well from here on (with those of the parse); the run goes on
// without it when it cannot be written.
void openLogFile(CLI_Display& display, const Parameters& params) {
  std::string warning;
  if (!params.logFileGiven) {
    LogFile::Close();
  } else if (!LogFile::Open(params.logFileName, &warning, logLineTag(params))) {
    display.message(UpdaterDisplayInterface::ERROR, "%s", warning.c_str());
  }
}

}  // namespace

std::string _build_updater_directory() {
  char home[kHomeDirectorySize];
  aErr result = aDirectory_GetHomeDirectory(home, sizeof home);
  if (result != aErrNone) {
    Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", static_cast<int>(result));
    return std::string();
  }
  return BuildPath(home, ".tessaron", "updater", nullptr);
}

namespace {

int RunUpdater(int argc, char** argv) {
  Parameters params;
  CLI_Display display;
  Log::SetOutput(stderr);
  LogFile::Hold();
  (void)ReportChannel::OpenFromEnvironment();  // only a process started for one of several devices has one
  const bool parsed = _get_params(display, argc, argv, &params) == 0;
  openLogFile(display, params);

  if (!parsed) {
    _display_app_version(display);
    _display_copyright(display);
    _display_usage(false, false);
    _release_params(&params);
    return kExitFailure;
  }
  _display_app_version(display);
  if (params.helpRequested || !params.commands.IsSet(CMD_ANY)) {
    _display_copyright(display);
    _display_hy_version(display);
    _display_usage(params.extendedUsage, params.helpRequested);
    _release_params(&params);
    return kExitSuccess;
  }

  std::string directory = _build_updater_directory();
  if (directory.empty() || aDirectory_Ensure(directory.c_str(), kStoreFolderMode) != aErrNone) {
    display.message(UpdaterDisplayInterface::ERROR, "Could not find updater directory at %s", directory.c_str());
    _release_params(&params);
    return kExitFailure;
  }
  // Whoever else can write into the store can plant the firmware a module will receive.
  const std::string storeProblem = StoreProblem(directory);
  if (!storeProblem.empty()) {
    display.message(UpdaterDisplayInterface::ERROR, "%s", storeProblem.c_str());
    _release_params(&params);
    return kExitFailure;
  }

  int status;
  {
    Updater updater(params.serverUrl.c_str(), directory.c_str(), display);
    if (params.SeveralDevices()) {
      status = RunSeveralDevices(display, params, updater, argc, argv);
    } else {
      status = CommandRunner(display, params, updater).run();
      // The starter of a run over several devices shows why this one failed.
      if (status != kExitSuccess) ReportChannel::Send("cause", ReportChannel::FirstError());
    }
  }
  _release_params(&params);
  return status;
}

}  // namespace

int UpdaterMain(int argc, char** argv) {
  int status = RunUpdater(argc, argv);
  LogFile::Close();
  return status;
}
