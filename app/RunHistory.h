#pragma once
#include <functional>
#include <string>
#include <vector>

#include "Parameters.h"
#include "UpdaterDisplayInterface.h"
#include "engine/DeviceRecord.h"
#include "engine/HistoryRecord.h"
#include "engine/Updater.h"

// Keeps the history of the device an update or recovery of this run works on: once the outcome
// is known, whatever it is, the device's record (the one --json prints) goes to the device's
// history in the store with when, where, by whom and how it ran, and the -l note. When a signal
// ends the run before that, the record as it stands, saying so, is written before the signal
// acts. A history that cannot be written costs one warning line and never fails the command.
class RunHistory {
 public:
  // command: "update" or "recover"; arguments: the command line as given; conclude: the device's
  // record as the command stands, for a signal that ends it.
  RunHistory(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params,
             std::vector<std::string> arguments, const char* command, std::function<DeviceRecord()> conclude);
  ~RunHistory();
  RunHistory(const RunHistory&) = delete;
  RunHistory& operator=(const RunHistory&) = delete;

  // Records how the command ended (once; a signal that came meanwhile is named in the record).
  void Record(const DeviceRecord& device);

  // The history record of the device's record: this run's command line, note, file build and the
  // signal that interrupted it (null: none); time, user and host are stamped when it is written.
  HistoryRecord Describe(const DeviceRecord& device, const char* interruptedBy) const;

 private:
  void append(const DeviceRecord& device, const char* interruptedBy);

  UpdaterDisplayInterface& display_;
  Updater& updater_;
  const Parameters& params_;
  std::vector<std::string> arguments_;
  std::string command_;
  bool recorded_ = false;
};
