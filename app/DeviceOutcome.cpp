#include "DeviceOutcome.h"

#include "ReportChannel.h"

namespace {

using State = UpdateOutcome::DeviceState;

std::string buildText(bool known, uint32_t build) { return known ? std::to_string(build) : std::string("-"); }

std::string stateOf(const UpdateOutcome& record, const DeviceOutcome& outcome) {
  switch (record.state) {
    case State::Running:
    case State::Unchanged:
      if (outcome.afterKnown) {
        std::string state = "runs build " + std::to_string(outcome.buildAfter);
        if (!outcome.succeeded && outcome.beforeKnown && outcome.buildAfter == outcome.buildBefore) {
          state += ", as before";
        }
        return state;
      }
      if (record.state == State::Running) return "running";
      return record.step == UpdateOutcome::Step::Connect ? "not reached" : "unchanged: nothing was written";
    case State::InLoader:
      return "in its loader without complete firmware: update it again";
    case State::NotBack:
      return "rebooted, not back: recover it with -U -t RECOVER";
    case State::FlashMayBeErased:
      return "firmware may be erased: recover it again";
    case State::Unknown:
      break;
  }
  return "unknown";
}

// The failed step and its cause as the engine recorded them; the first error line shown when it
// recorded none (the update itself succeeded, but its record in the store did not).
std::string causeOf(const UpdateOutcome& record) {
  if (record.cause.empty()) return ReportChannel::FirstError();
  if (record.step == UpdateOutcome::Step::None) return record.cause;
  return std::string(UpdateOutcome_StepName(record.step)) + ": " + record.cause;
}

}  // namespace

DeviceOutcome ConcludeDeviceOutcome(Updater& updater, const Parameters& params, bool updated) {
  const UpdateOutcome& record = updater.LastOutcome();
  DeviceOutcome outcome;
  outcome.succeeded = updated;
  outcome.beforeKnown = record.buildBefore != 0;
  outcome.buildBefore = record.buildBefore;
  if (record.state == State::Running && record.buildAfter != 0) {
    outcome.afterKnown = true;
    outcome.buildAfter = record.buildAfter;
  } else if (record.state == State::Unchanged) {
    // Nothing was written: what it ran before it still runs. An update that stopped before it
    // connected (no build, a file refused) learnt neither; one read tells both.
    if (!record.reached && record.step != UpdateOutcome::Step::Connect) {
      outcome.beforeKnown =
          updater.Read_Device_Build(params.serialNumber, params.routerSerialNumber, 0, outcome.buildBefore);
    }
    outcome.afterKnown = outcome.beforeKnown;
    outcome.buildAfter = outcome.buildBefore;
  }
  if (!updated) outcome.cause = causeOf(record);
  outcome.state = stateOf(record, outcome);
  return outcome;
}

void SendDeviceOutcome(const DeviceOutcome& outcome) {
  ReportChannel::Send("before", buildText(outcome.beforeKnown, outcome.buildBefore));
  ReportChannel::Send("after", buildText(outcome.afterKnown, outcome.buildAfter));
  ReportChannel::Send("state", outcome.state);
  if (!outcome.succeeded) ReportChannel::Send("cause", outcome.cause);
}
