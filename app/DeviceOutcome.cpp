#include "DeviceOutcome.h"

#include "ReportChannel.h"
#include "support/TestHook.h"

namespace {

// How long a module that rebooted at the end of its update is given to answer again.
constexpr unsigned long kBackAfterUpdateMs = 20000;

std::string buildText(bool known, uint32_t build) { return known ? std::to_string(build) : std::string("-"); }

std::string stateOf(const DeviceOutcome& outcome) {
  if (outcome.afterKnown) {
    std::string state = "runs build " + std::to_string(outcome.buildAfter);
    if (!outcome.succeeded && outcome.beforeKnown && outcome.buildAfter == outcome.buildBefore) state += ", as before";
    return state;
  }
  if (outcome.succeeded) return "not answering after its reboot";
  if (!outcome.beforeKnown) return "not reached";
  return "not answering: it may be left in its loader; update it again or recover it";
}

}  // namespace

DeviceOutcomeProbe::DeviceOutcomeProbe(Updater& updater, const Parameters& params) : updater_(updater), params_(params) {
  outcome_.beforeKnown = updater_.Read_Device_Build(params_.serialNumber, params_.routerSerialNumber, 0,
                                                    outcome_.buildBefore, &reachedAt_);
}

DeviceOutcome DeviceOutcomeProbe::Conclude(bool updated) {
  // The outcome check of the engine, once it gives its record, takes the place of this reading:
  // the build after and the state come from here only.
  outcome_.succeeded = updated;
  const unsigned long waitMs = outcome_.beforeKnown ? TestHook_LongWaitMs(kBackAfterUpdateMs) : 0;
  outcome_.afterKnown = updater_.Read_Device_Build(params_.serialNumber, params_.routerSerialNumber, waitMs,
                                                   outcome_.buildAfter, &reachedAt_);
  if (!updated) outcome_.cause = ReportChannel::FirstError();
  outcome_.state = stateOf(outcome_);
  return outcome_;
}

void SendDeviceOutcome(const DeviceOutcome& outcome) {
  ReportChannel::Send("before", buildText(outcome.beforeKnown, outcome.buildBefore));
  ReportChannel::Send("after", buildText(outcome.afterKnown, outcome.buildAfter));
  ReportChannel::Send("state", outcome.state);
  if (!outcome.succeeded) ReportChannel::Send("cause", outcome.cause);  // the engine's cause, once it names one
}
