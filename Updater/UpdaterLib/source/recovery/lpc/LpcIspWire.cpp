#include "recovery/lpc/LpcIspWire.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "Log.h"
#include "aHex.h"
#include "aTime.h"

namespace {

const char kTerminator[] = "\r\n";
constexpr unsigned long kReplyLineSize = 1024;
// Log records hold 2048 bytes; long dumps go out in pieces well below that.
constexpr size_t kLogPiece = 1500;

bool isPrintable(unsigned char c) { return c >= 0x20 && c < 0x7F; }

void logText(unsigned int package, const std::string& text) {
  for (size_t at = 0; at < text.size(); at += kLogPiece) {
    Log::log(package, "%s", text.substr(at, kLogPiece).c_str());
  }
}

std::string hexBytes(const char* title, const char* data, unsigned long length) {
  return title + aHex_Bytes(reinterpret_cast<const uint8_t*>(data), length);
}

// Printable characters as themselves, CR and LF as "\r" and "\n", anything else as a space.
std::string escapedText(const char* data, unsigned long length) {
  std::string text;
  for (unsigned long i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else {
      text += isPrintable(c) ? static_cast<char>(c) : ' ';
    }
  }
  return text;
}

// Printable characters as themselves, anything else as a space.
std::string plainText(const char* data, unsigned long length) {
  std::string text;
  for (unsigned long i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    text += isPrintable(c) ? static_cast<char>(c) : ' ';
  }
  return text;
}

void dumpEscaped(const char* title, const char* data, unsigned long length) {
  if (!Log::enabled(DEBUG_NXPSerial_SR)) return;
  logText(DEBUG_NXPSerial_SR, hexBytes(title, data, length) + "] [" + escapedText(data, length) + "]\n");
}

void dumpCommand(const char* command, unsigned long length) {
  if (!Log::enabled(DEBUG_NXPSerial_SR)) return;
  logText(DEBUG_NXPSerial_SR, hexBytes("Sending:[", command, length) + "] [" + plainText(command, length) + "]\n");
}

void dumpLine(const char* line, unsigned long length, bool terminated, aErr result) {
  if (!Log::enabled(DEBUG_NXPSerial_SR)) return;
  char tail[96];
  snprintf(tail, sizeof tail, "] %lu %s [%s]\n", length, terminated ? "term" : "non-term",
           aError_GetErrorText(result));
  logText(DEBUG_NXPSerial_SR, hexBytes("GetLine() Received: [", line, length) + "] [" + plainText(line, length) + tail);
}


// Matches the CR LF pair naively: a byte that breaks a partial match restarts the match without
// being tested again, so CR CR LF does not end a line.
struct TerminatorMatch {
  unsigned int matched = 0;
  bool feed(unsigned char c) {
    if (c == static_cast<unsigned char>(kTerminator[matched])) {
      ++matched;
    } else {
      matched = 0;
    }
    return matched == 2;
  }
};

}  // namespace

LpcIspWire::~LpcIspWire() { Close(); }

aErr LpcIspWire::Open(const char* port, unsigned int baud) {
  Close();
  rate = baud;
  received = 0;
  aErr result = aStream_CreateSerial(port, aSerial_BaudIndex(baud), false, aSerialBits8, aSerialStopBits1, &stream);
  if (result != aErrNone) {
    stream = nullptr;
    return result;
  }
  // A close that dropped DTR would reset the chip on boards whose DTR drives its reset.
  (void)aSerial_KeepModemLinesAtClose(stream);  // always aErrNone for a serial stream
  return aErrNone;
}

aErr LpcIspWire::Attach(aStreamRef opened, unsigned int baud) {
  if (opened == nullptr) return aErrParam;
  Close();
  stream = opened;
  rate = baud;
  received = 0;
  return aErrNone;
}

aErr LpcIspWire::ChangeRate(unsigned int baud) {
  if (stream == nullptr) return aErrConnection;
  aErr result = aSerial_SetRate(stream, aSerial_BaudIndex(baud));
  if (result == aErrNone) rate = baud;
  return result;
}

void LpcIspWire::Close() {
  if (stream != nullptr) (void)aStream_Destroy(&stream);  // closing the port: nothing left to report
  stream = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Codec and timing

unsigned int LpcIspWire::sum(const unsigned char* data, unsigned int n) {
  unsigned int total = 0;
  for (unsigned int i = 0; i < n; ++i) total += data[i];
  return total;
}

int LpcIspWire::uuchar(unsigned int v) {
  unsigned int bits = v & 63;
  return bits == 0 ? 96 : static_cast<int>(32 + bits);
}

unsigned int LpcIspWire::uuencode(char* out, const unsigned char* data, unsigned int n) {
  if (n > UU_MAX_LINE_BYTES) n = UU_MAX_LINE_BYTES;
  unsigned int at = 0;
  out[at++] = static_cast<char>(uuchar(n));
  for (unsigned int i = 0; i < n; i += 3) {
    unsigned int group = static_cast<unsigned int>(data[i]) << 16;
    if (i + 1 < n) group |= static_cast<unsigned int>(data[i + 1]) << 8;
    if (i + 2 < n) group |= data[i + 2];
    out[at++] = static_cast<char>(uuchar(group >> 18));
    out[at++] = static_cast<char>(uuchar(group >> 12));
    out[at++] = static_cast<char>(uuchar(group >> 6));
    out[at++] = static_cast<char>(uuchar(group));
  }
  out[at] = '\0';
  return n;
}

unsigned int LpcIspWire::uudecode(unsigned char* out, unsigned int max, const char* line) {
  if (line == nullptr) return 0;
  unsigned int count = (static_cast<unsigned char>(line[0]) - 32u) & 63u;
  if (count > max) return 0;
  // An empty line has no characters after its count: they all count as missing, and nothing is
  // read past the line's end.
  const char* chars = line[0] != '\0' ? line + 1 : line;
  size_t available = strlen(chars);
  bool overrun = false;
  unsigned int stored = 0;
  for (size_t at = 0; stored < count; at += 4) {
    unsigned int group = 0;
    for (size_t k = 0; k < 4; ++k) {
      unsigned int value = 0;
      if (at + k < available) {
        value = (static_cast<unsigned char>(chars[at + k]) - 32u) & 63u;
      } else {
        overrun = true;
      }
      group = (group << 6) | value;
    }
    for (int shift = 16; shift >= 0 && stored < count; shift -= 8) {
      out[stored++] = static_cast<unsigned char>(group >> shift);
    }
  }
  if (overrun) Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
  return count;
}

unsigned long LpcIspWire::WaitTimeMs(unsigned long n, unsigned int baud) {
  if (baud == 0) return 1;
  return (9000ul * n + 18000ul) / baud + 1;
}

unsigned long LpcIspWire::SendWaitMs(unsigned long n, unsigned int baud) {
  if (baud == 0) return 1;
  return static_cast<unsigned long>(9.0 * static_cast<double>(n + 2) / baud * 1000.0 + 1.0);
}

// ---------------------------------------------------------------------------------------------
// Sending and reading

aErr LpcIspWire::readByte(uint8_t* byte) {
  if (stream == nullptr) return aErrConnection;
  aErr result = aStream_Read(stream, byte, 1);
  if (result == aErrNone) ++received;
  return result;
}

aErr LpcIspWire::writeText(const char* text, unsigned long length) {
  if (stream == nullptr) return aErrConnection;
  return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), length);
}

// Sleep: the time n characters need on the wire, estimated from the baud rate. Drain: until
// the port has actually sent them, where the stream can tell (a serial port can), else the sleep.
void LpcIspWire::awaitSent(unsigned long length, Pacing pacing) {
  if (pacing == Pacing::Drain && stream != nullptr && aStream_Drain(stream) == aErrNone) return;
  aTime_MSSleep(SendWaitMs(length, rate));
}

aErr LpcIspWire::Send(const char* text, bool readEcho, Pacing pacing) {
  if (text == nullptr) return aErrParam;
  unsigned long length = strlen(text);
  dumpEscaped("Sending:[", text, length);
  aErr result = writeText(text, length);
  awaitSent(length, result == aErrNone ? pacing : Pacing::Sleep);
  if (result != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(result));
    return result;
  }
  if (readEcho && length > 1) {
    // After a drain the echo may still be on its way (a pty reports characters sent while the
    // far end has not taken them): the wait for it covers their time on the wire as well.
    unsigned long extra = pacing == Pacing::Drain ? WaitTimeMs(length, rate) : 0;
    unsigned long matched = 0;
    // Only takes the echo off the line.
    (void)GetEcho(text, length - 1, &matched, static_cast<unsigned int>(ECHO_TRIES + extra));
  }
  return result;
}

aErr LpcIspWire::SendRaw(const char* text, unsigned long length) {
  if (text == nullptr) return aErrParam;
  dumpCommand(text, length);
  aErr result = writeText(text, length);
  if (result == aErrNone) awaitSent(length, Pacing::Drain);
  return result;
}

aErr LpcIspWire::SendCommand(const char* command, int waitMs, bool readEcho) {
  if (command == nullptr) return aErrParam;
  unsigned long length = strlen(command);
  dumpCommand(command, length);
  aErr result = writeText(command, length);
  if (waitMs > 0) {
    Log::log(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", waitMs);
    aTime_MSSleep(static_cast<unsigned long>(waitMs));
  }
  if (result != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(result));
    Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(result));
    return result;
  }
  if (readEcho && length > 1) {
    unsigned long matched = 0;
    (void)GetEcho(command, length - 1, &matched);  // a short echo shows in matched
    if (matched < length - 1) {
      Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%lu!=%lu]\n", matched, length - 1);
    }
  }
  return aErrNone;
}

aErr LpcIspWire::GetEcho(const char* text, unsigned long count, unsigned long* matched, unsigned int tries) {
  unsigned long got = 0;
  unsigned long dropped = 0;
  unsigned int empty = 0;
  aErr result = aErrNone;
  while (text != nullptr && got < count && empty < tries) {
    uint8_t byte = 0;
    result = readByte(&byte);
    if (result == aErrNotReady) {
      ++empty;
      aTime_MSSleep(1);
      continue;
    }
    if (result != aErrNone) break;
    unsigned char wanted = static_cast<unsigned char>(text[got]);
    if (byte == wanted) {
      ++got;
      continue;
    }
    Log::log(DEBUG_NXPSerial_E, " %.2X!=%.2X", byte, wanted);
    if (++dropped > MAX_ECHO_DROPPED) {
      Log::log(DEBUG_NXPSerial, "GetEcho() dropped %lu bytes that were no echo, giving up\n", dropped);
      result = aErrOverrun;
      break;
    }
  }
  if (matched != nullptr) *matched = got;
  return result;
}

aErr LpcIspWire::GetLine(char* buffer, unsigned long size, unsigned long* length, unsigned int tries) {
  return readLine(buffer, size, length, tries, 0);
}

aErr LpcIspWire::GetLineUntil(char* buffer, unsigned long size, unsigned long* length, uint64_t deadline) {
  return readLine(buffer, size, length, 0, deadline);
}

aErr LpcIspWire::readLine(char* buffer, unsigned long size, unsigned long* length, unsigned int tries,
                              uint64_t deadline) {
  if (buffer == nullptr || size == 0) return aErrParam;
  unsigned long stored = 0;
  unsigned int empty = 0;
  TerminatorMatch terminator;
  bool terminated = false;
  aErr result = aErrNone;
  // The limit ends the wait only when nothing more is there: what arrived in time is read even
  // when this process itself was kept from running until after the limit (a busy host).
  auto timeLeft = [&]() { return deadline == 0 ? empty < tries : aTime_GetMSTicks() < deadline; };
  while (!terminated && stored < size - 1) {
    uint8_t byte = 0;
    result = readByte(&byte);
    if (result == aErrNotReady) {
      if (!timeLeft()) break;
      ++empty;
      aTime_MSSleep(1);
      continue;
    }
    if (result != aErrNone) break;
    if (byte == '\n' && stored == 0) {
      ++empty;
      if (!timeLeft()) break;
      continue;
    }
    buffer[stored++] = static_cast<char>(byte);
    terminated = terminator.feed(byte);
  }
  buffer[stored] = '\0';
  if (length != nullptr) *length = stored;
  dumpLine(buffer, stored, terminated, result);
  return result;
}

aErr LpcIspWire::Response(char* buffer, unsigned long size, unsigned long* length, const char* expected,
                              unsigned long expectedLength) {
  if (buffer == nullptr || size == 0) return aErrParam;
  unsigned long limit = expected != nullptr ? expectedLength : size - 1;
  if (limit > size - 1) limit = size - 1;
  // The answer is taken as soon as it is whole; it gets its time on the wire and REPLY_WAIT_MS,
  // as a command's return code does: a serial adapter or a busy host may pass it on late.
  unsigned long wait = WaitTimeMs(expectedLength, rate) + REPLY_WAIT_MS;
  Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%lu bytes, %u, %lu ms]\n", expectedLength, rate, wait);
  const uint64_t deadline = aTime_GetMSTicks() + wait;

  unsigned long taken = 0;
  unsigned long skipped = 0;
  TerminatorMatch terminator;
  bool terminated = false;
  aErr result = aErrNone;
  while (taken < limit && !terminated) {
    uint8_t byte = 0;
    result = readByte(&byte);
    if (result == aErrNotReady && aTime_GetMSTicks() < deadline) {
      aTime_MSSleep(1);
      continue;
    }
    if (result != aErrNone) {
      Log::log(DEBUG_NXPSerial_E, ".");
      break;
    }
    const char* ignoring = nullptr;
    if (taken == 0 && byte == '\n') ignoring = "Response ignoring leading \\n\n";
    if (taken == 0 && byte == '\r') ignoring = "Response ignoring leading \\r\n";
    if (byte == 0 && taken <= 2) ignoring = "Response ignoring leading 0 byte\n";
    if (ignoring != nullptr) {
      Log::log(DEBUG_NXPSerial_E, "%s", ignoring);
      if (++skipped > MAX_RESPONSE_SKIPPED) {
        Log::log(DEBUG_NXPSerial, "Response() skipped %lu bytes, giving up\n", skipped);
        result = aErrOverrun;
        break;
      }
      continue;
    }
    buffer[taken] = static_cast<char>(byte);
    if (expected != nullptr && byte != static_cast<unsigned char>(expected[taken])) {
      unsigned char want = static_cast<unsigned char>(expected[taken]);
      Log::log(DEBUG_NXPSerial_E,
               "Error Test_Serial_Response() Expected byte %lu does not match [[%02X] %c != %c [%02X]]\n", taken,
               byte, isPrintable(byte) ? byte : ' ', isPrintable(want) ? want : ' ', want);
    }
    ++taken;
    terminated = terminator.feed(byte);
  }
  buffer[taken] = '\0';
  if (length != nullptr) *length = taken;
  dumpEscaped("Response: [", buffer, taken);
  return result;
}

// Reads complete lines (without their CR LF; empty ones skipped) until complete(lines) holds or
// waitMs pass. A stream error ends it with that error.
aErr LpcIspWire::CollectLines(unsigned long waitMs, bool (*complete)(const std::vector<std::string>&),
                                  std::vector<std::string>* lines) {
  const uint64_t deadline = aTime_GetMSTicks() + waitMs;
  std::string current;
  while (!complete(*lines)) {
    uint8_t byte = 0;
    aErr result = readByte(&byte);
    if (result == aErrNotReady) {
      if (aTime_GetMSTicks() >= deadline) break;
      aTime_MSSleep(1);
      continue;
    }
    if (result != aErrNone) return result;
    if (byte == '\n') {
      if (!current.empty() && current.back() == '\r') current.pop_back();
      if (!current.empty()) lines->push_back(current);
      current.clear();
    } else if (current.size() < kReplyLineSize) {
      current += static_cast<char>(byte);
    }
  }
  if (Log::enabled(DEBUG_NXPSerial_SR)) {
    std::string text;
    for (const std::string& line : *lines) text += "[" + line + "]";
    logText(DEBUG_NXPSerial_SR, "Lines received: " + text + "\n");
  }
  return aErrNone;
}

// Drops what the chip still sends, until it has been quiet for quietMs (bounded: a chip that
// never stops talking is left talking).
void LpcIspWire::DiscardInput(unsigned long quietMs) {
  uint64_t quietSince = aTime_GetMSTicks();
  const uint64_t giveUp = quietSince + 10 * quietMs;
  while (aTime_GetMSTicks() - quietSince < quietMs && aTime_GetMSTicks() < giveUp) {
    uint8_t byte = 0;
    if (readByte(&byte) == aErrNone) {
      quietSince = aTime_GetMSTicks();
    } else {
      aTime_MSSleep(1);
    }
  }
}
