// The interrupt guard of a recovery: a signal is noted while the guard lives and acts once it
// ends; a signal the program was started with ignored stays ignored. Each case runs in a child
// process, since the signals act on the whole process.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <memory>

#include "support/InterruptGuard.h"

namespace {

constexpr int kNotNoted = 3;
constexpr int kNoted = 4;
constexpr int kLived = 5;

// Raises signal inside a guard: exits kNotNoted or kNoted before the guard ends, as the guard
// saw it, when the signal was ignored; otherwise the guard's end decides.
void raiseInsideAGuard(int signal) {
  {
    InterruptGuard guard;
    raise(signal);
    if (!InterruptGuard::Requested()) _exit(kNotNoted);
    if (InterruptGuard::Signal() != signal) _exit(kLived);
  }
  _exit(kNoted);
}

TEST(InterruptGuardDeathTest, ASignalIsNotedThenEndsTheProcessWhenTheGuardEnds) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    EXPECT_EXIT(raiseInsideAGuard(signal), ::testing::KilledBySignal(signal), "");
  }
}

TEST(InterruptGuardDeathTest, ASignalIgnoredAtTheStartStaysIgnored) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    EXPECT_EXIT(
        {
          ::signal(signal, SIG_IGN);
          raiseInsideAGuard(signal);
        },
        ::testing::ExitedWithCode(kNotNoted), "");
  }
}

TEST(InterruptGuardDeathTest, TheDispositionFromBeforeIsPutBack) {
  EXPECT_EXIT(
      {
        ::signal(SIGINT, SIG_IGN);
        { InterruptGuard guard; }
        struct sigaction now {};
        sigaction(SIGINT, nullptr, &now);
        _exit(now.sa_handler == SIG_IGN ? kNoted : kLived);
      },
      ::testing::ExitedWithCode(kNoted), "");
}

// A guard inside another: a signal noted before the inner one began is kept, the inner one's end
// lets the process live on, and the outer one's end raises it.
TEST(InterruptGuardDeathTest, NestedGuardsRaiseOnlyAtTheOutermostEnd) {
  EXPECT_EXIT(
      {
        auto outer = std::make_unique<InterruptGuard>();
        raise(SIGTERM);
        {
          InterruptGuard inner;
          if (!InterruptGuard::Requested()) _exit(kNotNoted);
        }
        if (InterruptGuard::Signal() != SIGTERM) _exit(kLived);
        // Still the guard's handler: a second signal is noted, not acted on.
        raise(SIGINT);
        if (InterruptGuard::Signal() != SIGINT) _exit(kLived);
        // The outer guard's end raises the last signal noted.
        outer.reset();
        _exit(kNoted);
      },
      ::testing::KilledBySignal(SIGINT), "");
}

}  // namespace

namespace {

// The action set for the end of a guard runs once a signal came, before the signal acts, with the
// signal still known; without a signal it does not run.
TEST(InterruptGuardDeathTest, TheActionBeforeTheSignalRunsOnlyWhenOneCame) {
  char path[] = "/tmp/interrupt-guard-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  auto recordIn = [&path] {
    InterruptGuard::SetBeforeSignal([&path] {
      FILE* file = fopen(path, "a");
      if (file == nullptr) return;
      fprintf(file, "%s;", InterruptGuard::SignalName());
      fclose(file);
    });
  };
  EXPECT_EXIT(
      {
        recordIn();
        { InterruptGuard quiet; }
        InterruptGuard guard;
        raise(SIGTERM);
      },
      ::testing::KilledBySignal(SIGTERM), "");
  FILE* file = fopen(path, "r");
  ASSERT_NE(nullptr, file);
  char text[64] = {};
  const size_t length = fread(text, 1, sizeof text - 1, file);
  fclose(file);
  unlink(path);
  EXPECT_EQ("SIGTERM;", std::string(text, length));
}

}  // namespace
