#pragma once
// Why a serial port could not be opened, in the words of a recovery's error line: "serial port
// PORT is in use by another program (process N)" or "serial port PORT could not be opened: WHY".
#include <string>

#include "aError.h"

std::string SerialPortInUse(const std::string& port);
// The cause for an open of port that failed with result and errno error (0: none left).
std::string SerialPortFault(const std::string& port, aErr result, int error);
// Whether a cause is one of the above, and whether it is the port being in use.
bool IsSerialPortFault(const std::string& why);
bool IsSerialPortInUse(const std::string& why);
