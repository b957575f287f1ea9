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

typedef struct aStream* aStreamRef;

aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* ref);
// Reads exactly length bytes or none: a read cut short by aErrNotReady is pushed back.
aErr aStream_Read(aStreamRef stream, uint8_t* buffer, size_t length);
aErr aStream_Write(aStreamRef stream, const uint8_t* data, size_t length);
aErr aStream_Destroy(aStreamRef* stream);
aErr aStreamBufferChar(aStreamRef stream, uint8_t byte);
// The transport record, for transports that need to reach it (tests, diagnostics).
void* aStream_Reference(aStreamRef stream);

// Serial ports.
enum aSerial_Bits { aSerialBits8 = 0, aSerialBits7 = 1 };
enum aSerial_Stop_bits { aSerialStopBits1 = 0, aSerialStopBits2 = 1 };

// Baud index 0..7: 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400.
constexpr int kSerialBaudCount = 8;
unsigned aSerial_BaudRate(int baudIndex);
// Index of an exact rate, -1 when the rate is not offered.
int aSerial_BaudIndex(unsigned baud);

aErr aStream_CreateSerial(const char* port, int baudIndex, bool parity, unsigned bits, unsigned stopBits,
                          aStreamRef* stream);
