#pragma once
#include <functional>

// While one lives, SIGINT, SIGTERM and SIGHUP (the terminal or the remote session closed) only
// note that the run is to stop: the serial sessions of a recovery look at Requested() between
// commands, end their exchange with the chip and close the port, which restores its settings.
// The handler resets itself, so a second signal acts at once. When the guard ends, a signal that
// came is raised again under the disposition from before the guard, so the process ends as that
// signal says once the port is closed. A signal ignored when the guard begins stays ignored.
// Guards nest: one made while another lives changes nothing, and the outermost alone raises the
// signal at its end (a command run whole under a guard finishes its record first). Used by the
// thread that runs the command.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  [[nodiscard]] static bool Requested();
  // The signal that came (0: none), and its name for messages.
  static int Signal();
  static const char* SignalName();
  // Runs at the end of a guard when a signal came, just before the signal acts: how the command
  // ended is known by then, and is recorded. An empty function (the default) does nothing.
  static void SetBeforeSignal(std::function<void()> action);
};
