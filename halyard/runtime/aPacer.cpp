#include "aPacer.h"

#include <thread>

namespace {

// The lead moves by a fixed step after each sleep, up after a late wake and down after an early
// one, so it settles where three sleeps in four wake within it (the up step is three down
// steps). A sleep that wakes milliseconds late because another process had the processor moves
// it by one step only: following such outliers would keep the pacer watching the clock for no gain.
constexpr aPacer::Clock::duration kUpStep = std::chrono::microseconds(3);
constexpr aPacer::Clock::duration kDownStep = std::chrono::microseconds(1);

// Tells the processor that this thread is waiting, so a sibling hardware thread gets the
// core's resources meanwhile.
inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

aPacer::aPacer(Clock::duration spacing) : m_spacing(spacing), m_previous(Clock::now() - spacing) {}

aPacer::Clock::time_point aPacer::awaitTurn() {
  const Clock::time_point due = m_previous + m_spacing;
  const Clock::time_point aim = due - m_lead;
  Clock::time_point now = Clock::now();
  if (now < aim) {
    std::this_thread::sleep_until(aim);
    now = Clock::now();
    noteLateness(now - aim);
  }
  while (now < due) {
    relax();
    now = Clock::now();
  }
  m_previous = now;
  return now;
}

void aPacer::noteLateness(Clock::duration late) {
  if (late > m_lead) {
    m_lead = m_lead + kUpStep < kLongestLead ? m_lead + kUpStep : kLongestLead;
  } else {
    m_lead = m_lead > kDownStep ? m_lead - kDownStep : Clock::duration::zero();
  }
}
