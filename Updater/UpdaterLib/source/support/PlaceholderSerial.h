#pragma once
#include <cstdint>

// The serial number that stands for "no serial number given": the update server keeps the
// default recovery image under it, a started live loader without a device identity answers
// under it, and -N identifies chips with it.
constexpr uint32_t kPlaceholderSerialNumber = 0xDEADDEAD;
