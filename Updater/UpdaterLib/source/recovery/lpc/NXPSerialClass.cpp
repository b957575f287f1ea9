#include "recovery/lpc/NXPSerialClass.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Log.h"
#include "aTime.h"
#include "recovery/lpc/LpcSectorTable.h"

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

// Empty reads (1 ms each) a line that follows an answer may take to come, as the answer may.
constexpr unsigned int kLineTries = LpcIspWire::REPLY_WAIT_MS;
constexpr unsigned int kChecksumTries = 2000;
constexpr unsigned long kReplyLineSize = 1024;
constexpr unsigned long kValueLineSize = 32;
constexpr unsigned long kCommandSize = 64;
constexpr unsigned long kAnswerPollMs = 100;

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

}  // namespace

NXPSerialClass::NXPSerialClass()
    : echo(true),
      deviceID{0, 0, 0, 0},
      stopCheck(nullptr),
      answeredAsIsp(false),
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

aErr NXPSerialClass::ChangePortRate(unsigned int requested) {
  const unsigned int baud = ConnectRate(requested);
  Log::log(DEBUG_NXPSerial, "Serial connection to %u baud in place\n", baud);
  return wire.ChangeRate(baud);
}

aErr NXPSerialClass::Connect(const char* port, unsigned int requested) {
  (void)Disconnect();  // always aErrNone
  const char* name = port ? port : "";
  const unsigned int baud = ConnectRate(requested);
  Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", name, aSerial_BaudIndex(baud),
           baud);
  aErr result = wire.Open(port, baud);
  if (result != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", name, aError_GetErrorText(result));
  }
  return result;
}

aErr NXPSerialClass::Attach(aStreamRef opened, unsigned int rate) { return wire.Attach(opened, rate); }

aErr NXPSerialClass::Disconnect() {
  wire.Close();
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


unsigned long NXPSerialClass::EraseWaitMs(unsigned int first, unsigned int last) {
  unsigned long sectors = last >= first ? last - first + 1ul : 1ul;
  return REPLY_WAIT_MS + sectors * ERASE_US_PER_SECTOR * 5 / 4 / 1000;
}

unsigned long NXPSerialClass::CopyWaitMs(unsigned int length) {
  unsigned long pages = (length + 255ul) / 256ul;
  return REPLY_WAIT_MS + (pages * PROGRAM_US_PER_256_BYTES * 5 / 4 + 999) / 1000;
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
// Commands

// Reads the reply line of a command and judges its return code. No line at all gives the read's
// error; a line whose code is not success gives aErrParam.
aErr NXPSerialClass::returnCode(bool writeCommand, unsigned long waitMs) {
  char line[kReplyLineSize];
  unsigned long length = 0;
  lastWaitMs = waitMs;
  aErr result = wire.GetLineUntil(line, sizeof line, &length, aTime_GetMSTicks() + waitMs);
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
  aErr result = wire.SendCommand(command, 0, echo);
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

  aErr result = wire.Send("?", false);
  if (result != aErrNone) return result;
  result = wire.Response(buffer, sizeof buffer, &length, kSynchronized, syncLength);
  if (result != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
             kSynchronized, buffer);
    return result;
  }
  answeredAsIsp = answeredAsIsp || strncmp(buffer, kSynchronized, syncLength - 2) == 0;
  if (strcmp(buffer, kSynchronized) != 0) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", kSynchronized);
  }

  result = wire.Send(kSynchronized, false);
  if (result != aErrNone) return result;
  (void)wire.Response(buffer, sizeof buffer, &length, kSynchronized, syncLength - 1);  // the echo; the OK below decides

  memset(buffer, 0, sizeof buffer);
  (void)wire.Response(buffer, sizeof buffer, &length, kOk, strlen(kOk));  // judged by the buffer's text below
  bool acknowledged = strncmp(buffer, "OK", 2) == 0;
  if (!acknowledged) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", buffer, kOk);
  }

  char crystal[16];
  snprintf(crystal, sizeof crystal, "%d\r\n", static_cast<int>(CRYSTAL_DEFAULT * 1000 + 0.5));
  result = wire.Send(crystal, false);
  if (result != aErrNone) return result;
  (void)wire.Response(buffer, sizeof buffer, &length, crystal, strlen(crystal) - 1);  // the echo; the OK below decides
  result = wire.Response(buffer, sizeof buffer, &length, kOk, strlen(kOk));
  return acknowledged ? result : aErrIO;
}

// Sends a command whose return-code line is followed by count lines of one number each. The
// return code itself is not judged: a refused command simply sends no value lines.
aErr NXPSerialClass::readValueLines(const char* command, unsigned long long* values, unsigned int count) {
  aErr result = wire.SendCommand(command, 0, echo);
  if (result != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", command, aError_GetErrorText(result));
    return result;
  }
  char line[kReplyLineSize];
  unsigned long length = 0;
  result = wire.GetLine(line, sizeof line, &length, kLineTries);
  if (!endsWithTerminator(line, length)) return result != aErrNone ? result : aErrIO;
  for (unsigned int i = 0; i < count; ++i) {
    char value[kValueLineSize];
    result = wire.GetLine(value, sizeof value, &length, kLineTries);
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

aErr NXPSerialClass::Compare(unsigned int address1, unsigned int address2, unsigned int count,
                             unsigned int* firstDifference) {
  if (count == 0 || count % 4 != 0) return aErrParam;
  char command[kCommandSize];
  snprintf(command, sizeof command, "M %u %u %u\r\n", address1, address2, count);
  aErr result = commandWithReturnCode(command, false);
  if (result == aErrNone || lastReply != Reply::Refused || lastReturnCode != COMPARE_ERROR) return result;
  // COMPARE_ERROR is followed by the offset of the first difference.
  char line[kValueLineSize];
  unsigned long length = 0;
  (void)wire.GetLine(line, sizeof line, &length, kLineTries);  // judged by its text below
  if (firstDifference != nullptr) {
    *firstDifference = endsWithTerminator(line, length) ? static_cast<unsigned int>(strtoul(line, nullptr, 10)) : 0;
  }
  return result;
}

aErr NXPSerialClass::AwaitAnyAnswer(unsigned long waitMs, bool* answered) {
  if (answered == nullptr) return aErrParam;
  const unsigned long before = wire.BytesReceived();
  const uint64_t deadline = aTime_GetMSTicks() + waitMs;
  // In short rounds, so that an interruption is not kept waiting.
  while (wire.BytesReceived() == before && aTime_GetMSTicks() < deadline) {
    if (stopRequested()) return aErrCancel;
    std::vector<std::string> lines;
    aErr result = wire.CollectLines(kAnswerPollMs, [](const std::vector<std::string>&) { return false; }, &lines);
    if (result != aErrNone) return result;
  }
  *answered = wire.BytesReceived() != before;
  if (*answered) wire.DiscardInput(QUIET_LINE_MS);
  return aErrNone;
}

aErr NXPSerialClass::CopyToFlash(unsigned int flashAddress, unsigned int ramAddress, unsigned int length) {
  bool permitted = false;
  for (unsigned int size : kCopyLengths) permitted = permitted || size == length;
  if (flashAddress % 256 != 0 || !permitted) return aErrParam;
  char command[kCommandSize];
  snprintf(command, sizeof command, "C %u %u %u\r\n", flashAddress, ramAddress, length);
  return commandWithReturnCode(command, false, CopyWaitMs(length));
}


void NXPSerialClass::noteIspAnswers(const std::vector<std::string>& lines) {
  answeredAsIsp = answeredAsIsp || std::any_of(lines.begin(), lines.end(), isNumber);
}

aErr NXPSerialClass::Probe(bool* synchronised, unsigned long waitMs) {
  if (synchronised == nullptr) return aErrParam;
  *synchronised = false;
  if (stopRequested()) return aErrCancel;
  wire.DiscardInput(2);
  const unsigned long length = strlen(PROBE);
  aErr result = wire.SendRaw(PROBE, length);
  if (result != aErrNone) return result;
  // The longest answer: both lines echoed, "1", "0" and four words of ten digits.
  std::vector<std::string> lines;
  const unsigned long answerWait = LpcIspWire::WaitTimeMs(length + 3 + 3 + 4 * 12, wire.Rate()) + waitMs;
  result = wire.CollectLines(answerWait, probeAnswered, &lines);
  if (result != aErrNone) return result;
  noteIspAnswers(lines);
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
    aErr result = wire.SendRaw(batch.c_str(), batch.size());
    if (result != aErrNone) return result;
    std::vector<std::string> answers;
    // With echo on every line comes back before its answer.
    const unsigned long answerWait =
        LpcIspWire::WaitTimeMs(batch.size() + FILL_LINES_PER_BATCH * 8, wire.Rate()) + QUIET_LINE_MS;
    result = wire.CollectLines(answerWait, backAtCommands, &answers);
    // Nothing at all came back: a second look, for a loaded host or chip may be slow.
    if (result == aErrNone && answers.empty()) result = wire.CollectLines(QUIET_CHIP_WAIT_MS, backAtCommands, &answers);
    if (result != aErrNone) return result;
    noteIspAnswers(answers);
    if (backAtCommands(answers)) {
      Log::log(DEBUG_NXPSerial, "Data phase left after %lu fill lines\n", (round + 1) * FILL_LINES_PER_BATCH);
      wire.DiscardInput(LpcIspWire::WaitTimeMs(lineLength * FILL_LINES_PER_BATCH, wire.Rate()) + 20);
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
  aErr result = wire.SendCommand(command, 0, echo);
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
  aErr result = wire.Send(text, echo, LpcIspWire::Pacing::Drain);
  if (result != aErrNone) return result;
  unsigned long onTheWire = LpcIspWire::WaitTimeMs(groupCharacters + strlen(text), wire.Rate());
  uint64_t started = aTime_GetMSTicks();
  // The caller checks the answer.
  (void)wire.GetLine(answer, size, length, static_cast<unsigned int>(kChecksumTries + onTheWire));
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
  char line[LpcIspWire::UU_LINE_CAPACITY];
  while (written < count && result == aErrNone) {
    if (stopRequested()) return aErrCancel;
    unsigned int piece = count - written < MAX_BYTES_PER_LINE ? count - written : MAX_BYTES_PER_LINE;
    LpcIspWire::uuencode(line, data + written, piece);
    result = wire.Send(line, echo, LpcIspWire::Pacing::Drain);
    if (result != aErrNone) break;
    written += piece;
    result = wire.Send(kTerminator, echo, LpcIspWire::Pacing::Drain);
    if (result != aErrNone) break;
    groupCharacters += strlen(line) + strlen(kTerminator);
    ++lines;
    if (lines < LINES_PER_CHECKSUM && written < count) continue;

    unsigned int checksum = LpcIspWire::sum(data + acknowledged, written - acknowledged);
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
    result = wire.GetLine(line, sizeof line, &length, kLineTries);
    if (!endsWithTerminator(line, length)) return result != aErrNone ? result : aErrIO;
    line[length - 2] = '\0';
    unsigned int decoded = LpcIspWire::uudecode(data + received + pending, count - received - pending, line);
    if (decoded == 0) {
      Log::log(DEBUG_NXPSerial, "Read() unexpected line [%s]\n", line);
      return aErrIO;
    }
    pending += decoded;
    ++lines;
    if (lines < LINES_PER_CHECKSUM && received + pending < count) continue;

    result = wire.GetLine(line, sizeof line, &length, kLineTries);
    if (!endsWithTerminator(line, length)) return result != aErrNone ? result : aErrIO;
    unsigned long given = strtoul(line, nullptr, 10);
    if (given == LpcIspWire::sum(data + received, pending)) {
      received += pending;
      Log::log(DEBUG_NXPSerial_E, "valid receipt of %d of %d (%.0f%%) bytes\n", static_cast<int>(received),
               static_cast<int>(count), 100.0 * received / count);
      result = wire.Send(kOk, echo);
    } else if (--retries < 1) {
      Log::log(DEBUG_NXPSerial, "Read() exceeded retries\n");
      return aErrTimeout;
    } else {
      result = wire.Send(kResend, echo);
    }
    if (result != aErrNone) return result;
    pending = 0;
    lines = 0;
  }
  return aErrNone;
}
