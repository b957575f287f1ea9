#include "AppMain.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CLI_Display.h"
#include "CheckCommand.h"
#include "DeviceOutcome.h"
#include "InfoCommand.h"
#include "JsonReport.h"
#include "Log.h"
#include "LogFile.h"
#include "ParamParser.h"
#include "Parameters.h"
#include "ReadingReports.h"
#include "ReportChannel.h"
#include "RunHistory.h"
#include "SeveralDevices.h"
#include "Usage.h"
#include "aDirectory.h"
#include "aPath.h"
#include "aTime.h"
#include "engine/Updater.h"
#include "support/InterruptGuard.h"
#include "store/StoreFolder.h"
#include "support/PlaceholderSerial.h"

namespace {

enum ExitStatus { kExitSuccess = 0, kExitFailure = 1 };

int worst(int status, int other) { return status != kExitSuccess ? status : other; }

// Runs the requested commands once the updater directory exists.
class CommandRunner {
 public:
  CommandRunner(CLI_Display& display, Parameters& params, Updater& updater, std::vector<std::string> arguments)
      : display_(display), params_(params), updater_(updater), arguments_(std::move(arguments)),
        startMs_(aTime_GetMSTicks()) {}

  int run() {
    int status = kExitSuccess;
    if (params_.commands.IsSet(CMD_FINGERPRINT)) {
      ReadingReports::FingerprintStarts();
      if (params_.serialPort.empty()) return commandError("Must specify the serial port used for connecting");
      status = fingerprint();
    }
    if (params_.commands.IsSet(CMD_GET_BUILD)) {
      if (params_.serialNumber == 0) {
        commandError("-G must specify a specific device via -d");
        return error("--help for usage information");
      }
      const int downloaded = download();
      status = worst(status, downloaded);
      // -G -U installs exactly the build just fetched, or nothing.
      const bool installs = params_.commands.IsSet(CMD_UPDATE) && !params_.commands.IsSet(CMD_DISCOVER);
      if (!installs || downloaded != kExitSuccess) {
        const DeviceRecord record = ConcludeDownloadRecord(updater_, seconds());
        // -G -U whose download failed installed nothing: its update ends here, in the history too.
        if (installs) {
          RunHistory(display_, updater_, params_, arguments_, "update", [record] { return record; }).Record(record);
        }
        reportDevice(record);
      }
      if (downloaded != kExitSuccess && installs) return error("Download failed: no firmware was installed");
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

  // A command line that names too little for its command: no device is concerned.
  int commandError(const char* text) {
    JsonOutput::Report().SetError(UpdateOutcome::Step::Command, text);
    return error(text);
  }

  // Whether a device's record is wanted: for the --json document, or by the starter of a run over
  // several devices.
  static bool recording() { return JsonOutput::Active() || ReportChannel::Active(); }

  static void reportDevice(const DeviceRecord& record) {
    if (ReportChannel::Active()) SendDeviceRecord(record);
    if (JsonOutput::Active()) JsonOutput::Report().AddDevice(DeviceRecord_ToJson(record));
  }

  double seconds() const { return static_cast<double>(aTime_GetMSTicks() - startMs_) / 1000.0; }

  void info(const char* text) { display_.message(UpdaterDisplayInterface::INFO, "%s", text); }

  int fingerprint() {
    Fingerprint print{};
    if (!updater_.Get_Fingerprint(print, params_.serialPort, kPlaceholderSerialNumber, params_.birdFile,
                                  params_.baudRate, true)) {
      display_.message(UpdaterDisplayInterface::ERROR, "Got no response from chip");
      ReadingReports::Failure(UpdateOutcome::Step::Identification, std::string());
      return error(kNothingWrittenLine);
    }
    engine::_display_fingerprint(display_, print);
    ReadingReports::FingerprintTaken(print, updater_.IdentifiedChip(), params_.serialPort);
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
    // A following -U installs exactly the build just fetched.
    params_.build = std::to_string(static_cast<unsigned int>(build));
    return kExitSuccess;
  }

  int discover() {
    linkType transport = params_.transportGiven && params_.transport != linkTypeRecover ? params_.transport : linkTypeAny;
    ReadingReports::DiscoveryStarts(params_.routerSerialNumber);
    std::vector<DeviceInfo> list;
    std::vector<TransportSearch> searches;
    if (params_.routerSerialNumber != 0) {
      display_.message(UpdaterDisplayInterface::INFO, "Searching for Halyard Network devices connected to %08X",
                       params_.routerSerialNumber);
      std::string cause;
      if (!updater_.Discover_HyNetwork_Devices(params_.routerSerialNumber, transport, list, &cause)) {
        ReadingReports::RouterScanFailed(cause);
        return kExitFailure;
      }
      ReadingReports::RouterScanned();
    } else {
      info("Searching for Halyard devices");
      list = updater_.Discover_Devices(transport, &searches);
    }
    engine::_display_device_list(display_, list, transport);
    const bool withStored = params_.commands.IsSet(CMD_INFO);
    std::vector<Json::Value> stored;
    if (withStored) stored = ShowStoredDevices(display_, updater_, list);
    ReadingReports::Discovered(list, searches, withStored ? &stored : nullptr);
    return kExitSuccess;
  }

  unsigned int buildNumber() const {
    if (params_.build.empty()) return 0;
    return static_cast<unsigned int>(strtoul(params_.build.c_str(), nullptr, 10));
  }

  int update() {
    unsigned int build = buildNumber();
    bool done;
    if (params_.transport == linkTypeRecover) {
      RunHistory kept = updateHistory("recover");
      done = updater_.Recover_Firmware(params_.serialPort, build, params_.baudRate, params_.serialNumber,
                                       params_.birdFile, params_.overrideModelCheck);
      return conclude(done, kept);
    }
    if (params_.serialNumber == 0) return commandError("Must specify the specific device to be updated");
    RunHistory kept = updateHistory("update");
    done = install(build);
    return conclude(done, kept);
  }

  // The history of the device this update or recovery works on; a signal that ends the run first
  // records the engine's outcome as it stands.
  RunHistory updateHistory(const char* command) {
    return RunHistory(display_, updater_, params_, arguments_, command,
                      [this] {
                        const bool done = updater_.LastOutcome().succeeded();
                        return ConcludeUpdateRecord(updater_, params_, done, seconds(), false);
                      });
  }

  // The device's record goes to its history, and to the --json document or the run's starter.
  int conclude(bool done, RunHistory& history) {
    // Only a record read by a program asks a device the update did not reach for its build.
    const DeviceRecord record = ConcludeUpdateRecord(updater_, params_, done, seconds(), recording());
    history.Record(record);
    if (recording()) reportDevice(record);
    return done ? kExitSuccess : kExitFailure;
  }

  bool install(unsigned int build) {
    return updater_.Update_Firmware(params_.serialNumber, build, params_.birdFile, params_.moduleAddress,
                                    params_.routerSerialNumber, params_.overrideModelCheck);
  }

  int listBuilds() {
    if (params_.serialNumber == 0) {
      commandError("Error must supply a serial number for the List Builds command");
      _display_usage(false, false);
      return kExitFailure;
    }
    ReadingReports::BuildsStart(params_.serialNumber);
    std::map<std::string, std::string> builds;
    std::string cause;
    // The failure was reported by the engine; an empty list is only an answer when the server gave it.
    if (!updater_.Get_BuildList(params_.serialNumber, builds, &cause)) {
      ReadingReports::Failure(UpdateOutcome::Step::Server, cause);
      return kExitFailure;
    }
    engine::_display_builds(display_, builds, params_.serialNumber);
    ReadingReports::BuildsListed(updater_, params_.serialNumber, builds);
    return kExitSuccess;
  }

  CLI_Display& display_;
  Parameters& params_;
  Updater& updater_;
  std::vector<std::string> arguments_;  // the command line as given, for the devices' history
  uint64_t startMs_;
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


// The step of a failure that nothing recorded more precisely: the one the command is made of.
UpdateOutcome::Step fallbackStep(const char* command) {
  using Step = UpdateOutcome::Step;
  const struct {
    const char* command;
    Step step;
  } steps[] = {{"discover", Step::Discovery},   {"builds", Step::Server},          {"get", Step::Download},
               {"update", Step::Firmware},      {"recover", Step::Identification}, {"fingerprint", Step::Identification},
               {"info", Step::Store},           {"check", Step::File}};
  for (const auto& entry : steps) {
    if (command != nullptr && strcmp(command, entry.command) == 0) return entry.step;
  }
  return Step::Command;
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
  if (JsonOutput::Requested(argc, argv)) JsonOutput::Activate();
  const bool parsed = _get_params(display, argc, argv, &params) == 0;
  if (params.json) JsonOutput::Activate();  // also when abbreviated
  JsonReport& document = JsonOutput::Report();
  document.SetCommand(JsonCommandName(params));
  openLogFile(display, params);

  if (!parsed) {
    document.SetError(UpdateOutcome::Step::Command, JsonOutput::FirstError());
    _display_app_version(display);
    _display_copyright(display);
    _display_usage(false, false);
    _release_params(&params);
    return kExitFailure;
  }
  _display_app_version(display);
  if (params.helpRequested || !params.commands.IsSet(CMD_ANY)) {
    document.SetCommand("help");
    _display_copyright(display);
    _display_hy_version(display);
    _display_usage(params.extendedUsage, params.helpRequested);
    _release_params(&params);
    return kExitSuccess;
  }

  std::string directory = _build_updater_directory();
  if (directory.empty() || aDirectory_Ensure(directory.c_str(), kStoreFolderMode) != aErrNone) {
    display.message(UpdaterDisplayInterface::ERROR, "Could not find updater directory at %s", directory.c_str());
    document.SetError(UpdateOutcome::Step::Store, JsonOutput::FirstError());
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
      status = CommandRunner(display, params, updater, std::vector<std::string>(argv, argv + argc)).run();
      // The starter of a run over several devices shows why this one failed when its record does not.
      if (status != kExitSuccess) ReportChannel::Send("cause", ReportChannel::FirstError());
    }
  }
  // A failure that left neither a device's record nor an error of its own still says why.
  if (status != kExitSuccess && !document.HasError() && !document.HasDevices()) {
    document.SetError(fallbackStep(JsonCommandName(params)), JsonOutput::FirstError());
  }
  _release_params(&params);
  return status;
}

}  // namespace

int UpdaterMain(int argc, char** argv) {
  (void)ReportChannel::OpenFromEnvironment();  // only a process started for one of several devices has one
  // A run whose record is read by a program ends its command when a signal comes (between two
  // requests to the device) and tells what it left before the signal ends the process, as the
  // guard's end does.
  std::unique_ptr<InterruptGuard> interruptible;
  if (ReportChannel::Active() || JsonOutput::Requested(argc, argv)) interruptible = std::make_unique<InterruptGuard>();
  // Its starter holds the ending signals back until the guard is there to take them.
  if (ReportChannel::Active()) {
    sigset_t ending;
    sigemptyset(&ending);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&ending, number);
    sigprocmask(SIG_UNBLOCK, &ending, nullptr);
  }
  int status = RunUpdater(argc, argv);
  if (InterruptGuard::Requested()) status = 128 + InterruptGuard::Signal();
  JsonOutput::Finish(status);
  LogFile::Close();
  return status;
}
