#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "UpdaterDisplayInterface.h"

// Console display: information to standard output, errors to standard error, progress bars and
// spinners only when standard output is a terminal.
class CLI_Display : public UpdaterDisplayInterface {
 public:
  static constexpr int BAR_WIDTH = 69;
  static constexpr int ERASE_WIDTH = 88;

  CLI_Display();

  void display_progress(bool start) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool active, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;

  // The texts drawn, exposed for tests (they do not depend on the terminal).
  static std::string ProgressText(double fraction, const char* label);
  static std::string SpinnerText(uint8_t frame, const char* label);
  static std::string EraseText();
  static uint8_t spinner_frame;

 private:
  static bool drawing();
  static void draw(const std::string& text);
};
