#include "recovery/lpc/NXPSerialClass.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Log.h"
#include "aHex.h"
#include "aTime.h"

const NXP_LPC17XX_sector NXP_LPC17XX_sectors[] = {
    {0x00000, 0x1000, 0},   {0x01000, 0x1000, 1},   {0x02000, 0x1000, 2},   {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},   {0x05000, 0x1000, 5},   {0x06000, 0x1000, 6},   {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},   {0x09000, 0x1000, 9},   {0x0A000, 0x1000, 10},  {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12},  {0x0D000, 0x1000, 13},  {0x0E000, 0x1000, 14},  {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16},  {0x18000, 0x8000, 17},  {0x20000, 0x8000, 18},  {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20},  {0x38000, 0x8000, 21},  {0x40000, 0x8000, 22},  {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24},  {0x58000, 0x8000, 25},  {0x60000, 0x8000, 26},  {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28},  {0x78000, 0x8000, 29},  {0xFFFFFFFF, 0, 30},
};

const char* const NXPSerialClass::ERROR_TEXT[NXPSerialClass::MAX_ERROR + 1] = {
    "CMD_SUCCESS",
    "INVALID_COMMAND",
    "SRC_ADDR_ERROR",
    "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED",
    "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",
    "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",
    "BUSY",
    "PARAM_ERROR",
    "ADDR_ERROR",
    "ADDR_NOT_MAPPED",
    "CMD_LOCKED",
    "INVALID_CODE",
    "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",
    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

namespace {

const unsigned int kAcceptedRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
const unsigned int kCopyLengths[] = {256, 512, 1024, 4096};
const char kTerminator[] = "\r\n";
const char kSynchronized[] = "Synchronized\r\n";
const char kOk[] = "OK\r\n";
const char kResend[] = "RESEND\r\n";

constexpr unsigned int kEchoTries = 100;
constexpr unsigned int kLineTries = 100;
constexpr unsigned int kChecksumTries = 2000;
constexpr unsigned long kReplyLineSize = 1024;
constexpr unsigned long kValueLineSize = 32;
constexpr unsigned long kCommandSize = 64;
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

bool endsWithTerminator(const char* line, unsigned long length) {
  return length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n';
}

// The number that ends a reply line (before its CR LF); -1 when it ends in no digit.
int returnCodeOf(const char* line, unsigned long length) {
  unsigned long end = endsWithTerminator(line, length) ? length - 2 : length;
  unsigned long start = end;
  while (start > 0 && isdigit(static_cast<unsigned char>(line[start - 1]))) --start;
  if (start == end) return -1;
  return static_cast<int>(strtol(std::string(line + start, end - start).c_str(), nullptr, 10));
}

bool isNumber(const std::string& text) {
  return !text.empty() && text.size() <= 10 &&
         std::all_of(text.begin(), text.end(), [](char c) { return isdigit(static_cast<unsigned char>(c)) != 0; });
}

// Where the answer to the probe's "N" starts: the return code 0 followed by the four words as the
// last five lines; npos while they are not all there.
size_t deviceIdAnswerAt(const std::vector<std::string>& lines) {
  if (lines.size() < 5) return std::string::npos;
  size_t at = lines.size() - 5;
  if (lines[at] != "0") return std::string::npos;
  for (size_t i = at + 1; i < lines.size(); ++i) {
    if (!isNumber(lines[i])) return std::string::npos;
  }
  return at;
}

bool probeAnswered(const std::vector<std::string>& lines) { return deviceIdAnswerAt(lines) != std::string::npos; }

// A fill line answered as an unknown command: the chip is at its commands again.
bool backAtCommands(const std::vector<std::string>& lines) {
  return std::find(lines.begin(), lines.end(), "1") != lines.end();
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

NXPSerialClass::NXPSerialClass()
    : stream(nullptr),
      echo(true),
      baud(0),
      deviceID{0, 0, 0, 0},
      stopCheck(nullptr),
      lastReply(Reply::None),
      lastReturnCode(0),
      lastWaitMs(0) {}

NXPSerialClass::~NXPSerialClass() { (void)Disconnect(); }  // always aErrNone

// ---------------------------------------------------------------------------------------------
// Session

unsigned int NXPSerialClass::ConnectRate(unsigned int requested) {
  for (unsigned int rate : kAcceptedRates) {
    if (rate >= requested) return rate;
  }
  return 9600;
}

aErr NXPSerialClass::Connect(const char* port, unsigned int requested) {
  (void)Disconnect();  // always aErrNone
  const char* name = port ? port : "";
  baud = ConnectRate(requested);
  int index = aSerial_BaudIndex(baud);
  Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", name, index, baud);
  aErr result = aStream_CreateSerial(port, index, false, aSerialBits8, aSerialStopBits1, &stream);
  if (result != aErrNone) {
    stream = nullptr;
    Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", name, aError_GetErrorText(result));
  }
  return result;
}

aErr NXPSerialClass::Attach(aStreamRef opened, unsigned int rate) {
  if (opened == nullptr) return aErrParam;
  (void)Disconnect();  // always aErrNone
  stream = opened;
  baud = rate;
  return aErrNone;
}

aErr NXPSerialClass::Disconnect() {
  if (stream != nullptr) (void)aStream_Destroy(&stream);  // closing the port: nothing left to report
  stream = nullptr;
  return aErrNone;
}

// ---------------------------------------------------------------------------------------------
// Static helpers

unsigned int NXPSerialClass::CopyLength(unsigned int n) {
  for (unsigned int length : kCopyLengths) {
    if (length >= n) return length;
  }
  Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", n);
  return n;
}

unsigned int NXPSerialClass::SectorFromAddress(unsigned int address) {
  for (const NXP_LPC17XX_sector* sector = NXP_LPC17XX_sectors; sector->size != 0; ++sector) {
    if (sector->start <= address && address - sector->start < sector->size) return sector->number;
  }
  return 30;
}

const char* NXPSerialClass::GetErrorText(const char* line) {
  if (line == nullptr) return ERROR_TEXT[MAX_ERROR];
  long code = strtol(line, nullptr, 0);
  if (code < 0 || code > MAX_ERROR) return ERROR_TEXT[MAX_ERROR];
  return ERROR_TEXT[code];
}

unsigned int NXPSerialClass::sum(const unsigned char* data, unsigned int n) {
  unsigned int total = 0;
  for (unsigned int i = 0; i < n; ++i) total += data[i];
  return total;
}

int NXPSerialClass::uuchar(unsigned int v) {
  unsigned int bits = v & 63;
  return bits == 0 ? 96 : static_cast<int>(32 + bits);
}

unsigned int NXPSerialClass::uuencode(char* out, const unsigned char* data, unsigned int n) {
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

unsigned int NXPSerialClass::uudecode(unsigned char* out, unsigned int max, const char* line) {
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

unsigned long NXPSerialClass::EraseWaitMs(unsigned int first, unsigned int last) {
  unsigned long sectors = last >= first ? last - first + 1ul : 1ul;
  return REPLY_WAIT_MS + sectors * ERASE_US_PER_SECTOR * 5 / 4 / 1000;
}

unsigned long NXPSerialClass::CopyWaitMs(unsigned int length) {
  unsigned long pages = (length + 255ul) / 256ul;
  return REPLY_WAIT_MS + (pages * PROGRAM_US_PER_256_BYTES * 5 / 4 + 999) / 1000;
}

unsigned long NXPSerialClass::WaitTimeMs(unsigned long n, unsigned int rate) {
  if (rate == 0) return 1;
  return (9000ul * n + 18000ul) / rate + 1;
}

unsigned long NXPSerialClass::SendWaitMs(unsigned long n, unsigned int rate) {
  if (rate == 0) return 1;
  return static_cast<unsigned long>(9.0 * static_cast<double>(n + 2) / rate * 1000.0 + 1.0);
}

unsigned int NXPSerialClass::ErrorIndexFor(unsigned long length, bool echoOn) {
  return echoOn && length > 2 ? static_cast<unsigned int>(length - 3) : 0;
}

unsigned int NXPSerialClass::GetErrorIndex(unsigned long length) const { return ErrorIndexFor(length, echo); }

bool NXPSerialClass::IsSuccessLine(const char* line, unsigned long length, bool echoOn) {
  if (line == nullptr || length == 0) return false;
  unsigned int index = ErrorIndexFor(length, echoOn);
  if (index >= length || line[index] != '0') return false;
  return index == 0 || !isdigit(static_cast<unsigned char>(line[index - 1]));
}

// ---------------------------------------------------------------------------------------------
// Transfer primitives

aErr NXPSerialClass::readByte(uint8_t* byte) {
  if (stream == nullptr) return aErrConnection;
  return aStream_Read(stream, byte, 1);
}

aErr NXPSerialClass::writeText(const char* text, unsigned long length) {
  if (stream == nullptr) return aErrConnection;
  return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), length);
}

// Sleep: the time n characters need on the wire, estimated from the baud rate. Drain: until
// the port has actually sent them, where the stream can tell (a serial port can), else the sleep.
void NXPSerialClass::awaitSent(unsigned long length, Pacing pacing) {
  if (pacing == Pacing::Drain && stream != nullptr && aStream_Drain(stream) == aErrNone) return;
  aTime_MSSleep(SendWaitMs(length, baud));
}

aErr NXPSerialClass::Send(const char* text, bool readEcho) { return sendPaced(text, readEcho, Pacing::Sleep); }

aErr NXPSerialClass::sendPaced(const char* text, bool readEcho, Pacing pacing) {
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
    unsigned long extra = pacing == Pacing::Drain ? WaitTimeMs(length, baud) : 0;
    unsigned long matched = 0;
    // Only takes the echo off the line.
    (void)awaitEcho(text, length - 1, &matched, static_cast<unsigned int>(kEchoTries + extra));
  }
  return result;
}

aErr NXPSerialClass::SendCommand(const char* command, int waitMs) {
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
  if (echo && length > 1) {
    unsigned long matched = 0;
    (void)GetEcho(command, length - 1, &matched);  // a short echo shows in matched
    if (matched < length - 1) {
      Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%lu!=%lu]\n", matched, length - 1);
    }
  }
  return aErrNone;
}

aErr NXPSerialClass::GetEcho(const char* text, unsigned long count, unsigned long* matched) {
  return awaitEcho(text, count, matched, kEchoTries);
}

aErr NXPSerialClass::awaitEcho(const char* text, unsigned long count, unsigned long* matched, unsigned int tries) {
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

aErr NXPSerialClass::GetLine(char* buffer, unsigned long size, unsigned long* length, unsigned int tries) {
  return readLine(buffer, size, length, tries, 0);
}

aErr NXPSerialClass::readLine(char* buffer, unsigned long size, unsigned long* length, unsigned int tries,
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

aErr NXPSerialClass::Response(char* buffer, unsigned long size, unsigned long* length, const char* expected,
                              unsigned long expectedLength) {
  if (buffer == nullptr || size == 0) return aErrParam;
  unsigned long limit = expected != nullptr ? expectedLength : size - 1;
  if (limit > size - 1) limit = size - 1;
  // The answer is taken as soon as it is whole; it gets its time on the wire and REPLY_WAIT_MS,
  // as a command's return code does: a serial adapter or a busy host may pass it on late.
  unsigned long wait = WaitTimeMs(expectedLength, baud) + REPLY_WAIT_MS;
  Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%lu bytes, %u, %lu ms]\n", expectedLength, baud, wait);
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

// ---------------------------------------------------------------------------------------------
// Commands

// Reads the reply line of a command and judges its return code. No line at all gives the read's
// error; a line whose code is not success gives aErrParam.
aErr NXPSerialClass::returnCode(bool writeCommand, unsigned long waitMs) {
  char line[kReplyLineSize];
  unsigned long length = 0;
  lastWaitMs = waitMs;
  aErr result = readLine(line, sizeof line, &length, 0, aTime_GetMSTicks() + waitMs);
  bool noLine = !endsWithTerminator(line, length) && result != aErrNone;
  if (!noLine && IsSuccessLine(line, length, echo)) {
    lastReply = Reply::Success;
    return aErrNone;
  }
  lastReply = noLine ? Reply::Silent : Reply::Refused;
  lastReturnCode = noLine ? -1 : returnCodeOf(line, length);
  const char* reason = noLine ? aError_GetErrorText(result) : GetErrorText(line);
  if (writeCommand) {
    Log::log(DEBUG_NXPSerial_SR, "Write() Error response ==>[%s]\n", reason);
  } else {
    Log::log(DEBUG_NXPSerial, "Error response ==>[%s]\n", reason);
  }
  return noLine ? result : aErrParam;
}

aErr NXPSerialClass::commandWithReturnCode(const char* command, bool writeCommand, unsigned long waitMs) {
  lastReply = Reply::None;
  if (stopRequested()) return aErrCancel;
  aErr result = SendCommand(command, 0);
  if (result == aErrNone) return returnCode(writeCommand, waitMs);
  if (writeCommand) {
    Log::log(DEBUG_NXPSerial, "Write() Error Sending command [%s] [%s]\n", command, aError_GetErrorText(result));
  } else {
    Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", command, aError_GetErrorText(result));
  }
  return result;
}

aErr NXPSerialClass::Sync() {
  char buffer[64];
  unsigned long length = 0;
  const unsigned long syncLength = strlen(kSynchronized);

  aErr result = Send("?", false);
  if (result != aErrNone) return result;
  result = Response(buffer, sizeof buffer, &length, kSynchronized, syncLength);
  if (result != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
             kSynchronized, buffer);
    return result;
  }
  if (strcmp(buffer, kSynchronized) != 0) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", kSynchronized);
  }

  result = Send(kSynchronized, false);
  if (result != aErrNone) return result;
  (void)Response(buffer, sizeof buffer, &length, kSynchronized, syncLength - 1);  // the echo; the OK below decides

  memset(buffer, 0, sizeof buffer);
  (void)Response(buffer, sizeof buffer, &length, kOk, strlen(kOk));  // judged by the buffer's text below
  bool acknowledged = strncmp(buffer, "OK", 2) == 0;
  if (!acknowledged) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", buffer, kOk);
  }

  char crystal[16];
  snprintf(crystal, sizeof crystal, "%d\r\n", static_cast<int>(CRYSTAL_DEFAULT * 1000 + 0.5));
  result = Send(crystal, false);
  if (result != aErrNone) return result;
  (void)Response(buffer, sizeof buffer, &length, crystal, strlen(crystal) - 1);  // the echo; the OK below decides
  result = Response(buffer, sizeof buffer, &length, kOk, strlen(kOk));
  return acknowledged ? result : aErrIO;
}

// Sends a command whose return-code line is followed by count lines of one number each. The
// return code itself is not judged: a refused command simply sends no value lines.
aErr NXPSerialClass::readValueLines(const char* command, unsigned long long* values, unsigned int count) {
  aErr result = SendCommand(command, 0);
  if (result != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", command, aError_GetErrorText(result));
    return result;
  }
  char line[kReplyLineSize];
  unsigned long length = 0;
  result = GetLine(line, sizeof line, &length, kLineTries);
  if (!endsWithTerminator(line, length)) return result != aErrNone ? result : aErrIO;
  for (unsigned int i = 0; i < count; ++i) {
    char value[kValueLineSize];
    result = GetLine(value, sizeof value, &length, kLineTries);
    if (!endsWithTerminator(value, length)) return result != aErrNone ? result : aErrIO;
    values[i] = strtoull(value, nullptr, 0);
  }
  return aErrNone;
}

aErr NXPSerialClass::GetDeviceID() {
  unsigned long long words[4] = {};
  aErr result = readValueLines("N\r\n", words, 4);
  if (result != aErrNone) {
    Log::log(DEBUG_NXPSerial, "GetDeviceID() incomplete answer [%s]\n", aError_GetErrorText(result));
    return result;
  }
  for (int i = 0; i < 4; ++i) deviceID[i] = static_cast<uint32_t>(words[i]);
  return aErrNone;
}

aErr NXPSerialClass::GetBootLoaderVersion(unsigned char* major, unsigned char* minor) {
  unsigned long long version[2] = {};
  aErr result = readValueLines("K\r\n", version, 2);
  if (result != aErrNone) return result;
  if (major != nullptr) *major = static_cast<unsigned char>(version[0]);
  if (minor != nullptr) *minor = static_cast<unsigned char>(version[1]);
  Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", static_cast<int>(version[0] & 0xFF),
           static_cast<int>(version[1] & 0xFF));
  return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(long* part) {
  unsigned long long number = 0;
  aErr result = readValueLines("J\r\n", &number, 1);
  if (result != aErrNone) return result;
  if (part != nullptr) *part = static_cast<long>(number);
  Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n", static_cast<long long>(number));
  return aErrNone;
}

aErr NXPSerialClass::Unlock() {
  char command[kCommandSize];
  snprintf(command, sizeof command, "U %u\r\n", UNLOCK_CODE);
  return commandWithReturnCode(command, false);
}

aErr NXPSerialClass::Prepare(unsigned int first, unsigned int last) {
  if (first > last) return aErrParam;
  char command[kCommandSize];
  snprintf(command, sizeof command, "P %u %u\r\n", first, last);
  return commandWithReturnCode(command, false);
}

aErr NXPSerialClass::Erase(unsigned int first, unsigned int last) {
  if (first > last) return aErrParam;
  char command[kCommandSize];
  snprintf(command, sizeof command, "E %u %u\r\n", first, last);
  return commandWithReturnCode(command, false, EraseWaitMs(first, last));
}

aErr NXPSerialClass::SetEcho(bool on) {
  char command[kCommandSize];
  snprintf(command, sizeof command, "A %d\r\n", on ? 1 : 0);
  aErr result = commandWithReturnCode(command, false);
  if (result == aErrNone) echo = on;
  return result;
}

aErr NXPSerialClass::SetBaudRate(unsigned int rate) {
  char command[kCommandSize];
  snprintf(command, sizeof command, "B %u %d\r\n", rate, 1);
  return commandWithReturnCode(command, false);
}

aErr NXPSerialClass::CopyToFlash(unsigned int flashAddress, unsigned int ramAddress, unsigned int length) {
  bool permitted = false;
  for (unsigned int size : kCopyLengths) permitted = permitted || size == length;
  if (flashAddress % 256 != 0 || !permitted) return aErrParam;
  char command[kCommandSize];
  snprintf(command, sizeof command, "C %u %u %u\r\n", flashAddress, ramAddress, length);
  return commandWithReturnCode(command, false, CopyWaitMs(length));
}

// Reads complete lines (without their CR LF; empty ones skipped) until complete(lines) holds or
// waitMs pass. A stream error ends it with that error.
aErr NXPSerialClass::collectLines(unsigned long waitMs, bool (*complete)(const std::vector<std::string>&),
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
void NXPSerialClass::discardInput(unsigned long quietMs) {
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

aErr NXPSerialClass::Probe(bool* synchronised, unsigned long waitMs) {
  if (synchronised == nullptr) return aErrParam;
  *synchronised = false;
  if (stopRequested()) return aErrCancel;
  discardInput(2);
  const unsigned long length = strlen(PROBE);
  dumpCommand(PROBE, length);
  aErr result = writeText(PROBE, length);
  if (result != aErrNone) return result;
  awaitSent(length, Pacing::Drain);
  // The longest answer: both lines echoed, "1", "0" and four words of ten digits.
  std::vector<std::string> lines;
  result = collectLines(WaitTimeMs(length + 3 + 3 + 4 * 12, baud) + waitMs, probeAnswered, &lines);
  if (result != aErrNone) return result;
  size_t at = deviceIdAnswerAt(lines);
  if (at == std::string::npos) return aErrNone;
  for (int word = 0; word < 4; ++word) {
    deviceID[word] = static_cast<uint32_t>(strtoull(lines[at + 1 + word].c_str(), nullptr, 10));
  }
  echo = at > 0 && lines[at - 1] == "N";
  Log::log(DEBUG_NXPSerial, "Chip still synchronised, echo %s\n", echo ? "on" : "off");
  *synchronised = true;
  return aErrNone;
}

aErr NXPSerialClass::LeaveDataPhase(bool* left) {
  if (left == nullptr) return aErrParam;
  *left = false;
  const unsigned long lineLength = strlen(FILL_LINE);
  std::string batch;
  for (unsigned int i = 0; i < FILL_LINES_PER_BATCH; ++i) batch += FILL_LINE;
  // Each fill line is 16 bytes of data; every 20 of them the chip wants a checksum (one more line).
  const unsigned long lines = MAX_PENDING_WRITE / 16 * (LINES_PER_CHECKSUM + 1) / LINES_PER_CHECKSUM + 1;
  const unsigned long batches = (lines + FILL_LINES_PER_BATCH - 1) / FILL_LINES_PER_BATCH + 1;
  for (unsigned long round = 0; round < batches; ++round) {
    if (stopRequested()) return aErrCancel;
    dumpCommand(batch.c_str(), batch.size());
    aErr result = writeText(batch.c_str(), batch.size());
    if (result != aErrNone) return result;
    awaitSent(batch.size(), Pacing::Drain);
    std::vector<std::string> answers;
    // With echo on every line comes back before its answer.
    result = collectLines(WaitTimeMs(batch.size() + FILL_LINES_PER_BATCH * 8, baud) + PROBE_WAIT_MS,
                          backAtCommands, &answers);
    // Nothing at all came back: a second look, for a loaded host or chip may be slow.
    if (result == aErrNone && answers.empty()) result = collectLines(QUIET_CHIP_WAIT_MS, backAtCommands, &answers);
    if (result != aErrNone) return result;
    if (backAtCommands(answers)) {
      Log::log(DEBUG_NXPSerial, "Data phase left after %lu fill lines\n", (round + 1) * FILL_LINES_PER_BATCH);
      discardInput(WaitTimeMs(lineLength * FILL_LINES_PER_BATCH, baud) + 20);
      *left = true;
      return aErrNone;
    }
    // No echo and no checksum answer to 21 lines: no data phase.
    if (answers.empty()) return aErrNone;
  }
  Log::log(DEBUG_NXPSerial, "Chip still in a data phase after %lu fill lines\n", batches * FILL_LINES_PER_BATCH);
  return aErrNone;
}

aErr NXPSerialClass::ExecuteFrom(unsigned int address) {
  char command[kCommandSize];
  snprintf(command, sizeof command, "G %u T\r\n", address);
  aErr result = SendCommand(command, 0);
  if (result != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", command, aError_GetErrorText(result));
  }
  return result;
}

// Sends one checksum line and reads the chip's answer to it. groupCharacters were sent since the
// last answer: a port that reports them sent while they still wait in a buffer on the way (a
// pseudo-terminal does) gets the time they need on the wire on top of the usual wait.
aErr NXPSerialClass::sendChecksumAndAwait(unsigned int checksum, unsigned long groupCharacters, char* answer,
                                          unsigned long size, unsigned long* length) {
  char text[16];
  snprintf(text, sizeof text, "%u\r\n", checksum);
  aErr result = sendPaced(text, echo, Pacing::Drain);
  if (result != aErrNone) return result;
  unsigned long onTheWire = WaitTimeMs(groupCharacters + strlen(text), baud);
  uint64_t started = aTime_GetMSTicks();
  // The caller checks the answer.
  (void)GetLine(answer, size, length, static_cast<unsigned int>(kChecksumTries + onTheWire));
  Log::log(DEBUG_NXPSerial_E, "Write() waited for checksum %d ms\n", static_cast<int>(aTime_GetMSTicks() - started));
  return aErrNone;
}

aErr NXPSerialClass::Write(unsigned int address, unsigned int count, const unsigned char* data) {
  if (count == 0 || count % 4 != 0 || data == nullptr) return aErrParam;
  char command[kCommandSize];
  snprintf(command, sizeof command, "W %u %u\r\n", address, count);
  aErr result = commandWithReturnCode(command, true);
  if (result != aErrNone) return result;

  unsigned int written = 0;
  unsigned int acknowledged = 0;
  unsigned int lines = 0;
  unsigned int retries = MAX_READ_RETRY;
  unsigned long groupCharacters = 0;
  char line[UU_LINE_CAPACITY];
  while (written < count && result == aErrNone) {
    if (stopRequested()) return aErrCancel;
    unsigned int piece = count - written < MAX_BYTES_PER_LINE ? count - written : MAX_BYTES_PER_LINE;
    uuencode(line, data + written, piece);
    result = sendPaced(line, echo, Pacing::Drain);
    if (result != aErrNone) break;
    written += piece;
    result = sendPaced(kTerminator, echo, Pacing::Drain);
    if (result != aErrNone) break;
    groupCharacters += strlen(line) + strlen(kTerminator);
    ++lines;
    if (lines < LINES_PER_CHECKSUM && written < count) continue;

    unsigned int checksum = sum(data + acknowledged, written - acknowledged);
    Log::log(DEBUG_NXPSerial_E, "Write() Checksum: %08X (%d)\n", checksum, static_cast<int>(checksum));
    char answer[kReplyLineSize];
    unsigned long length = 0;
    result = sendChecksumAndAwait(checksum, groupCharacters, answer, sizeof answer, &length);
    groupCharacters = 0;
    if (result != aErrNone) break;
    if (strcmp(answer, kOk) == 0) {
      acknowledged = written;
      Log::log(DEBUG_NXPSerial_E, "Write() valid transfer of %d of %d (%.0f%%) bytes\n", static_cast<int>(acknowledged),
               static_cast<int>(count), 100.0 * acknowledged / count);
    } else if (strcmp(answer, kResend) == 0) {
      if (--retries < 1) {
        Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
        result = aErrTimeout;
      } else {
        written = acknowledged;
      }
    } else {
      Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", answer);
      result = aErrIO;
    }
    lines = 0;
  }
  return result;
}

aErr NXPSerialClass::Read(unsigned int address, unsigned int count, unsigned char* data) {
  if (count == 0 || count % 4 != 0 || data == nullptr) return aErrParam;
  char command[kCommandSize];
  snprintf(command, sizeof command, "R %u %u\r\n", address, count);
  aErr result = commandWithReturnCode(command, false);
  if (result != aErrNone) return result;

  unsigned int received = 0;  // bytes whose checksum matched
  unsigned int pending = 0;   // bytes decoded since then
  unsigned int lines = 0;
  unsigned int retries = MAX_READ_RETRY;
  char line[kReplyLineSize];
  unsigned long length = 0;
  while (received < count) {
    result = GetLine(line, sizeof line, &length, kLineTries);
    if (!endsWithTerminator(line, length)) return result != aErrNone ? result : aErrIO;
    line[length - 2] = '\0';
    unsigned int decoded = uudecode(data + received + pending, count - received - pending, line);
    if (decoded == 0) {
      Log::log(DEBUG_NXPSerial, "Read() unexpected line [%s]\n", line);
      return aErrIO;
    }
    pending += decoded;
    ++lines;
    if (lines < LINES_PER_CHECKSUM && received + pending < count) continue;

    result = GetLine(line, sizeof line, &length, kLineTries);
    if (!endsWithTerminator(line, length)) return result != aErrNone ? result : aErrIO;
    unsigned long given = strtoul(line, nullptr, 10);
    if (given == sum(data + received, pending)) {
      received += pending;
      Log::log(DEBUG_NXPSerial_E, "valid receipt of %d of %d (%.0f%%) bytes\n", static_cast<int>(received),
               static_cast<int>(count), 100.0 * received / count);
      result = Send(kOk, echo);
    } else if (--retries < 1) {
      Log::log(DEBUG_NXPSerial, "Read() exceeded retries\n");
      return aErrTimeout;
    } else {
      result = Send(kResend, echo);
    }
    if (result != aErrNone) return result;
    pending = 0;
    lines = 0;
  }
  return aErrNone;
}
