#pragma once

// Test hook for the waits of many seconds (a module's reboot, a live loader or a restarted module
// that never comes back). The tests that exist to sit out such a wait set the environment
// variable UPDATER_TEST_HOOK_LONG_WAIT_MS to a short time so that they end in seconds. Nothing
// else reads the variable; without it (or with a value that is not a positive number) every wait
// keeps its production bound.
constexpr const char* kTestHookLongWaitVariable = "UPDATER_TEST_HOOK_LONG_WAIT_MS";

// productionMs, or the test hook's time when that is set and shorter.
unsigned long TestHook_LongWaitMs(unsigned long productionMs);
