#pragma once
#include <chrono>

// Starts events (the link's packets) at least a fixed spacing apart, counted from the start of
// the previous one, and as little later than that as the machine allows. A sleep wakes tens of
// microseconds after the time asked for, which at a 1 ms spacing is several per cent of the rate:
// the pacer aims its sleep early by the lateness its sleeps have shown and waits out the rest on
// the clock, so no start comes sooner than the spacing and few come much later.
class aPacer {
 public:
  using Clock = std::chrono::steady_clock;

  // The lead a new pacer aims its sleeps early by, and the most it ever will: a bound on the
  // time spent watching the clock for one event.
  static constexpr Clock::duration kFirstLead = std::chrono::microseconds(50);
  static constexpr Clock::duration kLongestLead = std::chrono::microseconds(200);

  explicit aPacer(Clock::duration spacing);

  // Returns once `spacing` has passed since the previous call returned (at once on the first
  // call, and when that time has passed already) and counts this moment as the new start.
  Clock::time_point awaitTurn();

  // Adjusts the lead to a sleep that woke `late` after the time it was aimed at: a step up after
  // a late wake (it delayed an event), a smaller step down after an early one (it cost processor
  // time watching the clock), always within 0..kLongestLead.
  void noteLateness(Clock::duration late);

  Clock::duration lead() const { return m_lead; }

 private:
  Clock::duration m_spacing;
  Clock::duration m_lead = kFirstLead;
  Clock::time_point m_previous;
};
