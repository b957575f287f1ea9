#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "aError.h"
#include "aStream.h"
#include "recovery/lpc/LpcIspWire.h"
#include "recovery/lpc/LpcSectorTable.h"

// Host side of the LPC17xx boot ROM's in-system-programming protocol on a serial port: ASCII
// command lines ending in CR LF, numeric return codes, uuencoded data lines with a byte-sum
// checksum after every 20 lines. The bytes on the line are LpcIspWire's; this class holds the
// commands and the chip's state. Waits are computed from the baud rate. Nothing is printed: results are aErr codes,
// diagnostics go to the log under DEBUG_NXPSerial (errors, results), DEBUG_NXPSerial_E (waits,
// echoes, progress) and DEBUG_NXPSerial_SR (dumps of every text sent and received).
// Single-threaded: one object per session.
class NXPSerialClass {
 public:
  static constexpr uint8_t MAX_ERROR = 20;
  static const char* const ERROR_TEXT[MAX_ERROR + 1];
  static constexpr float CRYSTAL_DEFAULT = 14.7456f;  // MHz
  static constexpr unsigned int MAX_BYTES_PER_LINE = 45;
  static constexpr unsigned int LINES_PER_CHECKSUM = 20;
  static constexpr unsigned int MAX_READ_RETRY = 3;
  static constexpr unsigned int WRITE_ADDRESS = 0x10001000;
  // The code that the "U" command wants before flash may be erased or written.
  static constexpr unsigned int UNLOCK_CODE = 23130;

  // How long the chip may take for a command before its return code, after the echo: the flash
  // time the LPC17xx datasheet gives at most (sector erase 105 ms whatever the sector's size,
  // programming 1.05 ms per 256 bytes) and a quarter on top, plus REPLY_WAIT_MS for the line and
  // the host. Commands that do not touch the flash get REPLY_WAIT_MS alone.
  static constexpr unsigned long REPLY_WAIT_MS = LpcIspWire::REPLY_WAIT_MS;
  static constexpr unsigned long ERASE_US_PER_SECTOR = 105000;
  static constexpr unsigned long PROGRAM_US_PER_256_BYTES = 1050;
  static unsigned long EraseWaitMs(unsigned int first, unsigned int last);
  static unsigned long CopyWaitMs(unsigned int length);

  // A synchronised boot ROM stays so until the chip is reset, with echo on or off, possibly with
  // a line half received or in the data phase of a write that never ended. The probe is a
  // line that is empty data to a data phase and an unknown command otherwise (it also ends a
  // half-received line so that it cannot run), then "N\r\n". PROBE_WAIT_MS bounds the wait for
  // the answer beyond the wire time: a serial adapter holds what it received for up to its latency
  // timer, and a busy host passes it on later still (100 ms were seen missed on a host building
  // beside the recovery; the chip then took the synchronisation meant for a fresh one as a
  // command line). A chip that is not synchronised costs this wait once per opening of the port.
  static constexpr const char* PROBE = "`\r\nN\r\n";
  static constexpr unsigned long PROBE_WAIT_MS = 500;
  // How long the chip may stay quiet before what it sent counts as all of it, beyond the wire time.
  static constexpr unsigned long QUIET_LINE_MS = 100;
  // A line that is 16 zero bytes to a data phase and the checksum 0 where the chip wants one:
  // sent repeatedly it completes any write the chip still expects data for; once the chip is
  // back at its commands it answers the line as an unknown command (1).
  static constexpr const char* FILL_LINE = "0                        \r\n";
  static constexpr unsigned int FILL_LINES_PER_BATCH = 21;
  // How long fill lines that got no answer at all are given before the chip counts as silent, and
  // how long a chip known to talk is given for its answer to the probe. Only a silent chip waits it
  // out; half a second was seen missed on a host running many recoveries and builds at once, and
  // a chip in the middle of a write taken for one with none ends the identification.
  static constexpr unsigned long QUIET_CHIP_WAIT_MS = 2000;
  // The most data a write left behind may still expect (our own writes are at most 4096 bytes).
  static constexpr unsigned long MAX_PENDING_WRITE = 8192;

  // The outcome of the last command that reads a return code.
  enum class Reply { None, Success, Refused, Silent };

  NXPSerialClass();
  ~NXPSerialClass();
  NXPSerialClass(const NXPSerialClass&) = delete;
  NXPSerialClass& operator=(const NXPSerialClass&) = delete;

  // Session.
  [[nodiscard]] aErr Connect(const char* port, unsigned int baud);
  [[nodiscard]] aErr Disconnect();
  // Moves the open port to the rate Connect would open for baud, without closing it: a close may
  // reset the chip (a board whose DTR drives its reset). aErrParam when the stream is no serial
  // port (then only Connect changes the rate).
  [[nodiscard]] aErr ChangePortRate(unsigned int baud);
  // Takes a stream that is already open, in place of Connect (owned from here on): a byte stream
  // that is not a serial port, for tests and fuzzing. rate is what the waits are computed from.
  [[nodiscard]] aErr Attach(aStreamRef opened, unsigned int rate);
  // The rate Connect opens for a requested baud: the first accepted rate not below it, 9600 for
  // anything above 230400.
  static unsigned int ConnectRate(unsigned int baud);

  // Commands.
  [[nodiscard]] aErr Sync();
  [[nodiscard]] aErr GetDeviceID();
  [[nodiscard]] aErr Unlock();
  [[nodiscard]] aErr Prepare(unsigned int first, unsigned int last);
  [[nodiscard]] aErr Erase(unsigned int first, unsigned int last);
  [[nodiscard]] aErr SetEcho(bool on);
  [[nodiscard]] aErr Write(unsigned int address, unsigned int count, const unsigned char* data);
  [[nodiscard]] aErr CopyToFlash(unsigned int flashAddress, unsigned int ramAddress, unsigned int length);
  [[nodiscard]] aErr ExecuteFrom(unsigned int address);
  [[nodiscard]] aErr GetBootLoaderVersion(unsigned char* major, unsigned char* minor);
  [[nodiscard]] aErr GetPartNumber(long* part);
  [[nodiscard]] aErr SetBaudRate(unsigned int baud);
  // The chip's return code for a compare that found a difference.
  static constexpr int COMPARE_ERROR = 10;
  // "M address1 address2 count": the chip compares two memory areas. A difference is refused with
  // COMPARE_ERROR (LastReturnCode 10) and *firstDifference set to its offset from the start.
  [[nodiscard]] aErr Compare(unsigned int address1, unsigned int address2, unsigned int count,
                             unsigned int* firstDifference);
  [[nodiscard]] aErr Read(unsigned int address, unsigned int count, unsigned char* data);

  // Identification of a chip that may still be synchronised from an earlier session: sends the
  // probe and, when the chip answers it as a synchronised boot ROM, takes the device ID from the
  // answer and sets the echo flag to what the chip does. *synchronised tells which; the result is
  // a stream error only. waitMs: how long the answer may take beyond its wire time.
  [[nodiscard]] aErr Probe(bool* synchronised, unsigned long waitMs = PROBE_WAIT_MS);
  // Waits up to waitMs for a chip that may still be busy with a flash operation an earlier session
  // started (it reads nothing meanwhile) to say anything at all; *answered tells whether it did.
  // What it says is dropped: a Probe afterwards finds out what state it is in.
  [[nodiscard]] aErr AwaitAnyAnswer(unsigned long waitMs, bool* answered);
  // Whether anything since construction was an answer only an LPC boot ROM gives: the
  // synchronisation's "Synchronized" or a return-code line to the probe or the fill lines.
  [[nodiscard]] bool AnsweredAsIsp() const { return answeredAsIsp; }
  // Bytes received since the port was opened: anything at all tells that something talks on it.
  unsigned long BytesReceived() const { return wire.BytesReceived(); }
  // Ends a write's data phase that an earlier session left open: fill lines until the chip
  // answers one as a command. *left is true when the chip is back at its commands.
  [[nodiscard]] aErr LeaveDataPhase(bool* left);
  // A check made before every command and data line; when it answers true the operation stops
  // with aErrCancel (an interrupted run). Waits already under way are finished first.
  void SetStopCheck(bool (*check)()) { stopCheck = check; }

  // State.
  [[nodiscard]] bool Echo() const { return echo; }
  Reply LastReply() const { return lastReply; }
  // The return code of the last refused command, and how long the last return-code wait allowed.
  int LastReturnCode() const { return lastReturnCode; }
  unsigned long LastWaitMs() const { return lastWaitMs; }
  unsigned int Baud() const { return wire.Rate(); }
  [[nodiscard]] bool Connected() const { return wire.IsOpen(); }
  // The four words of the device serial number, as the last successful GetDeviceID read them.
  const uint32_t* DeviceID() const { return deviceID; }

  // Static helpers.
  static unsigned int CopyLength(unsigned int n);
  static unsigned int SectorFromAddress(unsigned int address);
  static const char* GetErrorText(const char* line);

  // Where the return code sits in a reply line of length characters (terminator included).
  unsigned int GetErrorIndex(unsigned long length) const;
  static unsigned int ErrorIndexFor(unsigned long length, bool echo);
  // The return-code test on one reply line: the code at its position is 0. A digit before that
  // position belongs to the same number, so "10" (COMPARE_ERROR) is no success with echo on.
  [[nodiscard]] static bool IsSuccessLine(const char* line, unsigned long length, bool echo);

 private:
  [[nodiscard]] aErr returnCode(bool writeCommand, unsigned long waitMs);
  [[nodiscard]] aErr commandWithReturnCode(const char* command, bool writeCommand,
                                           unsigned long waitMs = REPLY_WAIT_MS);
  [[nodiscard]] bool stopRequested() const { return stopCheck != nullptr && stopCheck(); }
  void noteIspAnswers(const std::vector<std::string>& lines);
  [[nodiscard]] aErr readValueLines(const char* command, unsigned long long* values, unsigned int count);
  [[nodiscard]] aErr sendChecksumAndAwait(unsigned int checksum, unsigned long groupCharacters, char* answer,
                                          unsigned long size, unsigned long* length);

  // The data phase of Write waits until the port has sent each line, so that the next one follows
  // without a gap; synchronisation and read acknowledgements sleep for the estimated wire time.
  LpcIspWire wire;
  bool echo;
  uint32_t deviceID[4];
  bool (*stopCheck)();
  bool answeredAsIsp;
  Reply lastReply;
  int lastReturnCode;
  unsigned long lastWaitMs;
};
