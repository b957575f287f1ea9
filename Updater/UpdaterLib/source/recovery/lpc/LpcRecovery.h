#pragma once
// The recovery of an LPC chip through its boot ROM's in-system-programming protocol on a serial
// port: its identification, and the flash procedure (the plan, the change of rate, the erase, the
// write and compare of each piece, the start of the new code). Errors of the flash procedure are
// told on the display, each in one line with the step, the cause and what the flash now holds,
// then what to do next; the identification gives its cause in words for the caller's line.
#include <cstdint>
#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

class BirdBlock;

namespace lpc_recovery {

// The identification always synchronises at this rate; the chip keeps it afterwards.
constexpr unsigned int kIdentificationBaud = 115200;

// Reads the chip's device serial number (four words) over the port at baud: a chip left
// synchronised by an earlier run is recognised without a new synchronisation. The port is closed
// afterwards, the chip left synchronised with its echo on. On failure *why (when given) tells the
// cause; *answered (when given) tells whether an LPC boot ROM answered at all, also on failure.
[[nodiscard]] bool ReadDeviceId(const std::string& port, unsigned int baud, uint32_t deviceId[4], std::string* why,
                                bool* answered);

// Erases the chip's flash and writes the (decoded) firmware blocks of fileName, each piece
// compared after its copy, then starts the chip; the transfer runs at the rate Connect opens for
// baud. False, with the user told, on any failure.
[[nodiscard]] bool FlashFirmware(UpdaterDisplayInterface& display, const std::vector<BirdBlock>& firmware,
                                 const std::string& fileName, const std::string& port, unsigned int baud);

}  // namespace lpc_recovery
