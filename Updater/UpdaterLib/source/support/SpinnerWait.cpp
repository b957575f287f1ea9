#include "support/SpinnerWait.h"

#include <chrono>
#include <exception>
#include <future>
#include <system_error>
#include <thread>

#include "Log.h"

namespace {
constexpr std::chrono::milliseconds kSpinnerPeriod(100);
}

bool RunUnderSpinner(UpdaterDisplayInterface& display, const char* label, const std::function<bool()>& work) {
  std::promise<bool> result;
  std::future<bool> ready = result.get_future();
  std::thread worker;
  try {
    worker = std::thread([&work, &result] {
      bool value = false;
      try {
        value = work();
      } catch (const std::exception& error) {
        Log::log(DEBUG_Updater, "%s\n", error.what());
      }
      result.set_value(value);
    });
  } catch (const std::system_error& error) {
    Log::log(DEBUG_Updater, "No worker thread (%s); waiting without a spinner\n", error.what());
    return work();
  }
  bool spun = false;
  while (ready.wait_for(kSpinnerPeriod) != std::future_status::ready) {
    display.update_spinner(true, label);
    spun = true;
  }
  if (spun) display.update_spinner(false, label);
  worker.join();
  return ready.get();
}
