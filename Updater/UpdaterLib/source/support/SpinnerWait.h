#pragma once
#include <functional>

#include "UpdaterDisplayInterface.h"

// The spinner's label while a small query to the update server runs.
constexpr const char* kServerQueryLabel = "Asking the update server";

// Runs `work` on a worker thread while this thread turns the display's spinner under `label`
// every 100 ms, and returns what the work returned. Work done within the first 100 ms draws
// nothing. When no thread can be started the work runs on this thread.
[[nodiscard]] bool RunUnderSpinner(UpdaterDisplayInterface& display, const char* label,
                                   const std::function<bool()>& work);
