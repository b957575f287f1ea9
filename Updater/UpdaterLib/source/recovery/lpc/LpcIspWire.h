#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "aError.h"
#include "aStream.h"

// The byte level of the LPC17xx boot ROM's in-system-programming protocol on one serial stream:
// the uuencoding of data lines and their byte-sum checksums, sending text paced to the baud rate,
// and reading lines, echoes and expected answers with the CR LF terminator matched as the chip's
// host programs do. Reads poll the stream (which answers aErrNotReady at once when no byte waits).
// Every text sent and received is dumped to the log under DEBUG_NXPSerial_SR.
class LpcIspWire {
 public:
  // A uuencoded line's count character has six bits: no line carries more than 63 bytes.
  static constexpr unsigned int UU_MAX_LINE_BYTES = 63;
  // Room uuencode needs for any line: count character, 21 groups of four, closing zero.
  static constexpr unsigned int UU_LINE_CAPACITY = 1 + 4 * 21 + 1;
  // GetEcho gives up after dropping this many bytes that were not the expected echo, and
  // Response after skipping this many leading line ends or zero bytes: a chip that streams
  // without end cannot keep either reading for ever.
  static constexpr unsigned long MAX_ECHO_DROPPED = 1024;
  static constexpr unsigned long MAX_RESPONSE_SKIPPED = 1024;
  // What an answer may lag behind its time on the wire: a serial adapter or a busy host may pass
  // it on late (on a host running many serial sessions at once, the other end of a
  // pseudo-terminal was seen to wake up to 0.9 s late). Only a chip that does not answer waits
  // it out.
  static constexpr unsigned long REPLY_WAIT_MS = 1000;
  // Empty reads GetEcho allows by default (each costs 1 ms): an echo may lag as an answer may.
  static constexpr unsigned int ECHO_TRIES = REPLY_WAIT_MS;

  // How a send waits for its characters to leave: Sleep for the estimated wire time; Drain until
  // the port has sent them (where the stream can tell), so that the next line follows without a gap.
  enum class Pacing { Sleep, Drain };

  LpcIspWire() = default;
  ~LpcIspWire();
  LpcIspWire(const LpcIspWire&) = delete;
  LpcIspWire& operator=(const LpcIspWire&) = delete;

  // Opens port at rate (no parity, 8 data bits, one stop bit), closing any stream first. Its close
  // leaves DTR and RTS as they are (HUPCL off), so that it does not reset the chip where DTR
  // drives its reset.
  [[nodiscard]] aErr Open(const char* port, unsigned int rate);
  // Takes a stream that is already open (owned from here on); rate is what the waits follow.
  [[nodiscard]] aErr Attach(aStreamRef opened, unsigned int rate);
  void Close();
  // Moves the open port to rate without closing it (what it had to send is sent first).
  [[nodiscard]] aErr ChangeRate(unsigned int rate);
  [[nodiscard]] bool IsOpen() const { return stream != nullptr; }
  unsigned int Rate() const { return rate; }
  // Bytes read since the stream was opened or attached.
  unsigned long BytesReceived() const { return received; }

  // Codec.
  static unsigned int sum(const unsigned char* data, unsigned int n);
  static int uuchar(unsigned int v);
  // Writes 1 + 4 * ceil(n / 3) characters and a closing zero into out, which must hold
  // UU_LINE_CAPACITY bytes; n above UU_MAX_LINE_BYTES is cut to it. Returns the bytes encoded.
  static unsigned int uuencode(char* out, const unsigned char* data, unsigned int n);
  static unsigned int uudecode(unsigned char* out, unsigned int max, const char* line);

  // Waiting time in milliseconds for n characters at baud (9 bit times a character).
  static unsigned long WaitTimeMs(unsigned long n, unsigned int baud);
  // Sleep after Send wrote n characters.
  static unsigned long SendWaitMs(unsigned long n, unsigned int baud);

  // Writes text, waits for it to leave, then, when readEcho is set, takes the echo of all its
  // characters but the last off the line. Returns the write result.
  [[nodiscard]] aErr Send(const char* text, bool readEcho, Pacing pacing = Pacing::Sleep);
  // Writes a command line, sleeps waitMs when positive, and reads its echo (all but the final
  // "\n") when readEcho is set; a short echo is logged, not failed.
  [[nodiscard]] aErr SendCommand(const char* command, int waitMs, bool readEcho);
  // Writes text as it stands (dumped as a command) and waits until the port has sent it.
  [[nodiscard]] aErr SendRaw(const char* text, unsigned long length);
  // Reads an answer of known form (expected, expectedLength) or of up to size - 1 bytes.
  [[nodiscard]] aErr Response(char* buffer, unsigned long size, unsigned long* length, const char* expected,
                              unsigned long expectedLength);
  // One line up to its CR LF, ended by tries empty reads (1 ms each).
  [[nodiscard]] aErr GetLine(char* buffer, unsigned long size, unsigned long* length, unsigned int tries);
  // The same, ended at the deadline (milliseconds of aTime_GetMSTicks) instead.
  [[nodiscard]] aErr GetLineUntil(char* buffer, unsigned long size, unsigned long* length, uint64_t deadline);
  [[nodiscard]] aErr GetEcho(const char* text, unsigned long count, unsigned long* matched,
                             unsigned int tries = ECHO_TRIES);
  // Reads complete lines (without their CR LF; empty ones skipped) until complete(lines) holds or
  // waitMs pass. A stream error ends it with that error.
  [[nodiscard]] aErr CollectLines(unsigned long waitMs, bool (*complete)(const std::vector<std::string>&),
                                  std::vector<std::string>* lines);
  // Drops what the far end still sends, until it has been quiet for quietMs (bounded: a far end
  // that never stops talking is left talking).
  void DiscardInput(unsigned long quietMs);

 private:
  void awaitSent(unsigned long length, Pacing pacing);
  [[nodiscard]] aErr readByte(uint8_t* byte);
  [[nodiscard]] aErr writeText(const char* text, unsigned long length);
  [[nodiscard]] aErr readLine(char* buffer, unsigned long size, unsigned long* length, unsigned int tries,
                              uint64_t deadline);

  aStreamRef stream = nullptr;
  unsigned int rate = 0;
  unsigned long received = 0;
};
