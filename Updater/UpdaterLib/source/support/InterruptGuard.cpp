#include "support/InterruptGuard.h"

#include <signal.h>

#include <cstdio>

namespace {

volatile sig_atomic_t caught = 0;
int depth = 0;  // guards alive
struct sigaction previousInterrupt;
struct sigaction previousTerminate;
struct sigaction previousHangup;
std::function<void()> beforeSignal;

void noteSignal(int signal) { caught = signal; }

// A signal the program was started with ignored (as a shell starts a background job without job
// control with SIGINT) stays ignored: the one who started the run chose so.
void install(int signal, struct sigaction* previous) {
  if (sigaction(signal, nullptr, previous) == 0 && previous->sa_handler == SIG_IGN) return;
  struct sigaction action {};
  action.sa_handler = noteSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  sigaction(signal, &action, previous);
}

}  // namespace

InterruptGuard::InterruptGuard() {
  if (depth++ > 0) return;
  caught = 0;
  install(SIGINT, &previousInterrupt);
  install(SIGTERM, &previousTerminate);
  install(SIGHUP, &previousHangup);
}

InterruptGuard::~InterruptGuard() {
  if (--depth > 0) return;
  sigaction(SIGINT, &previousInterrupt, nullptr);
  sigaction(SIGTERM, &previousTerminate, nullptr);
  sigaction(SIGHUP, &previousHangup, nullptr);
  int signal = caught;
  if (signal != 0 && beforeSignal) beforeSignal();
  caught = 0;
  if (signal != 0) {
    fflush(stdout);
    fflush(stderr);
    raise(signal);
  }
}

bool InterruptGuard::Requested() { return caught != 0; }

int InterruptGuard::Signal() { return caught; }

const char* InterruptGuard::SignalName() {
  switch (caught) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "a signal";
  }
}

void InterruptGuard::SetBeforeSignal(std::function<void()> action) { beforeSignal = std::move(action); }
