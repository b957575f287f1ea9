#include "engine/UpdateOutcome.h"

#include <cstdio>

#include "support/EnumNames.h"

namespace {

using Step = UpdateOutcome::Step;
using State = UpdateOutcome::DeviceState;

constexpr EnumName<Step> kStepNames[] = {
    {Step::None, ""},
    {Step::Command, "command"},
    {Step::Settings, "settings"},
    {Step::Server, "server"},
    {Step::Build, "build"},
    {Step::Download, "download"},
    {Step::Store, "store"},
    {Step::File, "file"},
    {Step::Validation, "validation"},
    {Step::Discovery, "discovery"},
    {Step::Connect, "connect"},
    {Step::Identification, "identification"},
    {Step::Loader, "loader"},
    {Step::Load, "load"},
    {Step::Firmware, "firmware"},
    {Step::Flash, "flash"},
    {Step::Reboot, "reboot"},
    {Step::Verification, "verification"},
    {Step::Start, "start"},
    {Step::Process, "process"},
};

constexpr EnumName<State> kStateNames[] = {
    {State::Unknown, "unknown"},
    {State::Unchanged, "unchanged"},
    {State::InLoader, "in_loader"},
    {State::NotBack, "not_back"},
    {State::FlashMayBeErased, "flash_may_be_erased"},
    {State::Running, "running"},
};

}  // namespace

const char* UpdateOutcome_StepName(Step step) { return NameOf(kStepNames, step, ""); }

const char* UpdateOutcome_StateName(State state) { return NameOf(kStateNames, state, "unknown"); }

bool UpdateOutcome_StepFromName(const std::string& name, Step* step) { return ValueOf(kStepNames, name, step); }

bool UpdateOutcome_StateFromName(const std::string& name, State* state) { return ValueOf(kStateNames, name, state); }

std::string UpdateOutcome_StateLine(unsigned int serial, UpdateOutcome::DeviceState state) {
  const char* format = nullptr;
  switch (state) {
    case UpdateOutcome::DeviceState::Unchanged:
      format = "Device %08X was left unchanged: nothing was written, it still runs its old firmware";
      break;
    case UpdateOutcome::DeviceState::InLoader:
      format = "Device %08X is left in its loader without complete firmware: run the same command again";
      break;
    case UpdateOutcome::DeviceState::NotBack:
      format = "Device %08X was rebooted but did not come back: recover it with -U -t RECOVER";
      break;
    case UpdateOutcome::DeviceState::FlashMayBeErased:
      format = "Device %08X may be left with erased firmware: recover it again with -U -t RECOVER";
      break;
    case UpdateOutcome::DeviceState::Unknown:
    case UpdateOutcome::DeviceState::Running:
      return std::string();
  }
  char line[160];
  snprintf(line, sizeof line, format, serial);
  return line;
}
