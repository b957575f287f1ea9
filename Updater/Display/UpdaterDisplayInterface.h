#pragma once

// All human-readable output of the update engine goes through a display.
class UpdaterDisplayInterface {
 public:
  enum Level { INFO = 0, ERROR = 1 };
  static constexpr unsigned MESSAGE_SIZE = 2048;

  virtual void display_progress(bool start) = 0;
  virtual void update_progress(double fraction, const char* label) = 0;
  virtual void update_spinner(bool active, const char* label) = 0;
  virtual void info_message(const char* text) = 0;
  virtual void error_message(const char* text) = 0;

  // Formats printf-style (cut to 2048 bytes) and passes the text on unless muted.
  void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void mute_messages(bool muted) { muted_ = muted; }
  bool muted() const { return muted_; }

 protected:
  UpdaterDisplayInterface() = default;
  ~UpdaterDisplayInterface() = default;

 private:
  bool muted_ = false;
};
