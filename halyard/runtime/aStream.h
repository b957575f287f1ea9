#pragma once
#include <cstddef>
#include <cstdint>

#include "aError.h"

// A transport-neutral byte stream: four callbacks over the transport's own record, plus a
// push-back ring so that a partial read can be undone.
//
// Contracts of the callbacks (each receives the transport record `ref`):
//   get:    deliver one byte into *out; aErrNotReady when none is waiting now (never blocks for
//           long), aErrEOF at the end of a finite source, another code on failure.
//   put:    send one byte.
//   write:  send a block of length bytes; success only when every byte was accepted.
//   del:    release the transport and its record; called exactly once by aStream_Destroy.
typedef aErr (*aStreamGetProc)(uint8_t* out, void* ref);
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* ref);
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t length, void* ref);
typedef aErr (*aStreamDeleteProc)(void* ref);
// Optional: waits up to timeoutMs for a byte to become readable; aErrNone when one may be
// there (or the transport has news, such as a closed peer), aErrNotReady on time-out.
typedef aErr (*aStreamReadyProc)(unsigned timeoutMs, void* ref);

typedef struct aStream* aStreamRef;

aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* ref);
// Reads exactly length bytes or none: a read cut short by aErrNotReady is pushed back.
[[nodiscard]] aErr aStream_Read(aStreamRef stream, uint8_t* buffer, size_t length);
[[nodiscard]] aErr aStream_Write(aStreamRef stream, const uint8_t* data, size_t length);
[[nodiscard]] aErr aStream_Destroy(aStreamRef* stream);
[[nodiscard]] aErr aStreamBufferChar(aStreamRef stream, uint8_t byte);
// The transport record, for transports that need to reach it (tests, diagnostics).
void* aStream_Reference(aStreamRef stream);
// The transport record of a stream made with this delete procedure, else null: a transport
// reaches its own record this way without taking another kind's record for one of its own.
void* aStream_ReferenceOf(aStreamRef stream, aStreamDeleteProc del);

// Readiness waiting. A stream whose transport offers a ready callback may be told to wait up to
// waitMs (at most kStreamLongestReadyWaitMs) for a byte before a read answers aErrNotReady,
// instead of the reader polling. Streams start with 0: get answers at once, as always.
constexpr unsigned kStreamLongestReadyWaitMs = 10;
[[nodiscard]] aErr aStream_SetReadyProc(aStreamRef stream, aStreamReadyProc ready);
[[nodiscard]] aErr aStream_SetReadyWait(aStreamRef stream, unsigned waitMs);
bool aStream_CanAwaitReady(aStreamRef stream);

// Draining. A transport that buffers output may offer a drain callback that returns once every
// byte written so far has left it (a serial port: tcdrain). aErrUnimplemented without one.
typedef aErr (*aStreamDrainProc)(void* ref);
[[nodiscard]] aErr aStream_SetDrainProc(aStreamRef stream, aStreamDrainProc drain);
[[nodiscard]] aErr aStream_Drain(aStreamRef stream);

// Transports that re-establish their connection by themselves count each time the byte stream
// was broken off, so a reader can drop a partly received frame instead of splicing old bytes to
// new ones.
void aStream_NoteDiscontinuity(aStreamRef stream);
uint32_t aStream_Discontinuities(aStreamRef stream);

// Serial ports.
enum aSerial_Bits { aSerialBits8 = 0, aSerialBits7 = 1 };
enum aSerial_Stop_bits { aSerialStopBits1 = 0, aSerialStopBits2 = 1 };

// Baud index 0..7: 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400.
constexpr int kSerialBaudCount = 8;
unsigned aSerial_BaudRate(int baudIndex);
// Index of an exact rate, -1 when the rate is not offered.
int aSerial_BaudIndex(unsigned baud);

// Ownership of an open serial port: an exclusive flock() on it and the terminal's exclusive mode
// (TIOCEXCL: further opens fail with EBUSY). aErrBusy when another open of the port holds the
// lock. aSerial_Release undoes both; the lock also ends with the descriptor, even when the
// process is killed. aSerial_PortHolder: the process id holding the lock on port, 0 when none
// is known.
[[nodiscard]] aErr aSerial_Own(int fd);
void aSerial_Release(int fd);
int aSerial_PortHolder(const char* port);

// Changes the rate of an open serial port in place, without closing it (a close may drop DTR, and
// on some boards that resets the device); output still queued is sent first. aErrParam when the
// stream is no serial port or the index is out of range.
[[nodiscard]] aErr aSerial_SetRate(aStreamRef stream, int baudIndex);

// The close of the port leaves DTR and RTS as they are (HUPCL off in the settings put back),
// where the port allows: on a board whose DTR drives the device's reset the close does not reset
// it. Every other setting is put back as it was found. aErrParam when the stream is no serial port.
[[nodiscard]] aErr aSerial_KeepModemLinesAtClose(aStreamRef stream);

// Opens and owns the port (aErrBusy when another program has it); reads and writes never block.
[[nodiscard]] aErr aStream_CreateSerial(const char* port, int baudIndex, bool parity, unsigned bits, unsigned stopBits,
                                        aStreamRef* stream);

// TCP socket to ipAddress (IPv4, network byte order) and port. The stream reconnects by itself
// inside get and write when the connection is lost. aErrResource when no connection can be made.
[[nodiscard]] aErr aStream_CreateSocket(uint32_t ipAddress, uint16_t port, aStreamRef* stream);

// A module of the family by its serial number: through its kernel node "/dev/halyard.%08X" when
// that exists, else through libusb.
[[nodiscard]] aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream);

// Files: one byte per get (aErrEOF at the end) or per put.
[[nodiscard]] aErr aStream_CreateFileInput(const char* path, aStreamRef* stream);
[[nodiscard]] aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream);

// Terminator-delimited records. Reads store at most capacity - 1 bytes and a closing zero; a
// record that does not fit is read to its end all the same and gives aErrOverrun with its start
// stored. length receives the number of bytes stored, terminator excluded.
[[nodiscard]] aErr aStream_ReadRecord(aStreamRef stream, char* buffer, size_t capacity, char terminator,
                                      size_t* length);
[[nodiscard]] aErr aStream_WriteRecord(aStreamRef stream, const char* data, size_t length, char terminator);
// A C string travels with its zero terminator.
[[nodiscard]] aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t capacity);
[[nodiscard]] aErr aStream_WriteCString(aStreamRef stream, const char* text);
// A C string travels followed by the terminator instead of its zero.
[[nodiscard]] aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t capacity, char terminator);
[[nodiscard]] aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, char terminator);
// Copies bytes from in to out until in reports end of file (aErrNone then). Any other failure
// ends the copy with that result; aErrNotReady from in ends it too, so it never waits unbounded.
[[nodiscard]] aErr aStream_Flush(aStreamRef in, aStreamRef out);
