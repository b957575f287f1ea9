#pragma once
#include <chrono>
#include <string>
#include <vector>

#include "Parameters.h"
#include "UpdaterDisplayInterface.h"
#include "engine/HistoryRecord.h"
#include "engine/Updater.h"

// Keeps the history of the device an update or recovery of this run works on: once the outcome
// is known, whatever it is, one record goes to the device's history in the store, with the -l
// note; when a signal ends the run, the record (saying so) is written before the signal acts. A
// history that cannot be written costs one warning line and never fails the command.
class RunHistory {
 public:
  // command: "update" or "recover"; arguments: the command line as given. From here until
  // Record(), a signal that ends the run records the engine's outcome as it stands.
  RunHistory(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params,
             std::vector<std::string> arguments, const char* command);
  ~RunHistory();
  RunHistory(const RunHistory&) = delete;
  RunHistory& operator=(const RunHistory&) = delete;

  // Records what the engine's last update or recovery came to.
  void Record();
  // Records a run that ended before the engine's update began (a -G -U whose download failed):
  // nothing was written to the device.
  void RecordFailure(UpdateOutcome::Step step, const std::string& cause);

  // The record of an outcome, as this run's history keeps it (without time, user and host).
  HistoryRecord Describe(const UpdateOutcome& outcome, const char* interruptedBy) const;

 private:
  void append(const UpdateOutcome& outcome, const char* interruptedBy);

  UpdaterDisplayInterface& display_;
  Updater& updater_;
  const Parameters& params_;
  std::vector<std::string> arguments_;
  std::string command_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  bool recorded_ = false;
};
