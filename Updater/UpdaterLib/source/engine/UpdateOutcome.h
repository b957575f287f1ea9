#pragma once
#include <cstdint>
#include <string>

// What the last update or recovery of an Updater came to, for callers that show more than the
// printed lines (a summary over several devices): the builds before and after, the result, the
// failed step and its cause, and the state the device was left in.
struct UpdateOutcome {
  enum class Result {
    NotRun,           // no update or recovery has run
    Updated,          // the device came back running the file's build (or, for a file without
                      // one, came back at all)
    OtherBuild,       // it came back running another build (accepted with -OVERRIDE)
    NotBack,          // it was rebooted and did not come back within the bound
    Failed,           // a step before the reboot failed
  };
  // The state a device is left in. Each has one name for programs (UpdateOutcome_StateName):
  //   unknown              nothing is known of it (its process ended without telling)
  //   unchanged            nothing was written: it still runs its old firmware
  //   in_loader            waiting in its loader (or an LPC chip in its boot ROM) without running
  //                        firmware: run the command again
  //   not_back             rebooted, not seen since: recover it
  //   flash_may_be_erased  a recovery stopped after erasing: recover it again
  //   running              running buildAfter
  enum class DeviceState {
    Unknown,
    Unchanged,
    InLoader,
    NotBack,
    FlashMayBeErased,
    Running,
  };
  // The step that failed. Each has one name for programs (UpdateOutcome_StepName), the same
  // name the summary of a run over several devices shows before the cause:
  //   command         the command line (not understood, or no device named)
  //   settings        the device's settings file in the store could not be read
  //   server          the update server was not reached or its answer was refused
  //   build           no build to install was found
  //   download        the build's file could not be fetched from the server
  //   store           the store could not hold the device's directory or file
  //   file            the firmware file could not be read or is damaged
  //   validation      the file was refused for this device (model, images, serial number)
  //   discovery       the search for modules on a transport failed
  //   connect         the device (or its router) was not reached
  //   identification  a chip in its boot ROM did not identify itself (recovery)
  //   loader          the transfer of the loader (or its INIT) failed
  //   load            the start of the loader (LOAD) failed
  //   firmware        the transfer of the firmware failed
  //   flash           erasing, writing or checking a chip's flash failed (recovery)
  //   reboot          the reboot into the new firmware failed
  //   verification    the device did not come back running the build
  //   start           its process of a run over several devices was not started
  //   process         its process ended without telling its outcome
  enum class Step {
    None,
    Command,
    Settings,
    Server,
    Build,
    Download,
    Store,
    File,
    Validation,
    Discovery,
    Connect,
    Identification,
    Loader,
    Load,
    Firmware,
    Flash,
    Reboot,
    Verification,
    Start,
    Process,
  };

  unsigned int serial = 0;
  uint32_t buildBefore = 0;  // read from the device before writing; 0 when not read
  uint32_t fileBuild = 0;    // the build of the file's information block; 0 when it has none
  uint32_t buildAfter = 0;   // read from the device after it came back; 0 when it did not
  Result result = Result::NotRun;
  DeviceState state = DeviceState::Unknown;
  Step step = Step::None;  // the step that failed; None on success
  std::string cause;  // why, in words; empty on success
  std::string file;   // the firmware file installed or stored, when known
  std::string model;  // the model name the device reported, when it was asked
  bool accepted = false;  // another build was accepted (-OVERRIDE)
  bool reached = false;   // the device was connected (buildBefore was asked of it)

  bool succeeded() const { return result == Result::Updated || (result == Result::OtherBuild && accepted); }
};

// The names of steps and states for programs (JSON records, the summary table): the one mapping
// from these enums to text. The names of None and Unknown are "" and "unknown".
const char* UpdateOutcome_StepName(UpdateOutcome::Step step);
const char* UpdateOutcome_StateName(UpdateOutcome::DeviceState state);
// The enum of a name; false for a name that is none of them.
bool UpdateOutcome_StepFromName(const std::string& name, UpdateOutcome::Step* step);
bool UpdateOutcome_StateFromName(const std::string& name, UpdateOutcome::DeviceState* state);

// The one line that tells the state the device is left in and what to do next; empty for
// Unknown and Running.
std::string UpdateOutcome_StateLine(unsigned int serial, UpdateOutcome::DeviceState state);

// The state line of a recovery or -N that ended before anything was written.
constexpr const char* kNothingWrittenLine =
    "Nothing was written to the device; check its port and boot mode, then run the command again";
