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
  enum class DeviceState {
    Unknown,
    Unchanged,        // nothing was written: it still runs its old firmware
    InLoader,         // waiting in its loader without complete firmware: run the command again
    NotBack,          // rebooted, not seen since: recover it
    FlashMayBeErased, // a recovery stopped after erasing: recover it again
    Running,          // running buildAfter
  };

  unsigned int serial = 0;
  uint32_t buildBefore = 0;  // read from the device before writing; 0 when not read
  uint32_t fileBuild = 0;    // the build of the file's information block; 0 when it has none
  uint32_t buildAfter = 0;   // read from the device after it came back; 0 when it did not
  Result result = Result::NotRun;
  DeviceState state = DeviceState::Unknown;
  std::string step;   // the step that failed ("connect", "validation", "loader", "firmware",
                      // "reboot", "verification"); empty on success
  std::string cause;  // why, in words; empty on success
  bool accepted = false;  // another build was accepted (-OVERRIDE)
  bool reached = false;   // the device was connected (buildBefore was asked of it)

  bool succeeded() const { return result == Result::Updated || (result == Result::OtherBuild && accepted); }
};

// The one line that tells the state the device is left in and what to do next; empty for
// Unknown and Running.
std::string UpdateOutcome_StateLine(unsigned int serial, UpdateOutcome::DeviceState state);

// The state line of a recovery or -N that ended before anything was written.
constexpr const char* kNothingWrittenLine =
    "Nothing was written to the device; check its port and boot mode, then run the command again";
