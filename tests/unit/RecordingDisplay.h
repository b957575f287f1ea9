#pragma once
// A display that keeps what it was asked to show, for tests.
#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

class RecordingDisplay : public UpdaterDisplayInterface {
 public:
  std::vector<std::string> infos;
  std::vector<std::string> errors;
  std::vector<std::string> drawn;

  void display_progress(bool start) override { drawn.push_back(start ? "progress:start" : "progress:end"); }
  void update_progress(double fraction, const char*) override { drawn.push_back("progress:" + std::to_string(fraction)); }
  void update_spinner(bool active, const char*) override { drawn.push_back(active ? "spin" : "spin:end"); }
  void info_message(const char* text) override { infos.push_back(text); }
  void error_message(const char* text) override { errors.push_back(text); }
};
