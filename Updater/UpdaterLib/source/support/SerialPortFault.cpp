#include "support/SerialPortFault.h"

#include <cerrno>
#include <cstring>

#include "aStream.h"
#include "support/FormattedText.h"

namespace {
constexpr const char* kPortFaultStart = "serial port ";
}  // namespace

std::string SerialPortInUse(const std::string& port) {
  int holder = aSerial_PortHolder(port.c_str());
  if (holder > 0) {
    return FormattedText("%s%s is in use by another program (process %d)", kPortFaultStart, port.c_str(), holder);
  }
  return FormattedText("%s%s is in use by another program", kPortFaultStart, port.c_str());
}

bool IsSerialPortInUse(const std::string& why) {
  return why.rfind(kPortFaultStart, 0) == 0 && why.find(" is in use by another program") != std::string::npos;
}

std::string SerialPortFault(const std::string& port, aErr result, int error) {
  if (result == aErrBusy || error == EBUSY) return SerialPortInUse(port);
  const char* reason = error != 0 ? strerror(error) : aError_GetErrorText(result);
  return FormattedText("%s%s could not be opened: %s", kPortFaultStart, port.c_str(), reason);
}

bool IsSerialPortFault(const std::string& why) { return why.rfind(kPortFaultStart, 0) == 0; }
