#include "aStream.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

struct aStream {
  aStreamGetProc get;
  aStreamPutProc put;
  aStreamWriteProc write;
  aStreamDeleteProc del;
  aStreamReadyProc ready;
  aStreamDrainProc drain;
  void* ref;
  unsigned readyWaitMs;
  std::atomic<uint32_t> discontinuities;
  uint8_t* buffer;
  size_t buffered;
  size_t capacity;
  size_t readIndex;
  size_t writeIndex;
  uint16_t check;
};

namespace {

constexpr uint16_t kStreamCheck = 0x4321;
constexpr size_t kRingStep = 512;

bool valid(aStreamRef stream) { return stream != nullptr && stream->check == kStreamCheck; }

bool growRing(aStreamRef stream) {
  size_t capacity = stream->capacity + kRingStep;
  uint8_t* grown = static_cast<uint8_t*>(malloc(capacity));
  if (grown == nullptr) return false;
  for (size_t i = 0; i < stream->buffered; ++i) {
    grown[i] = stream->buffer[(stream->readIndex + i) % stream->capacity];
  }
  free(stream->buffer);
  stream->buffer = grown;
  stream->capacity = capacity;
  stream->readIndex = 0;
  stream->writeIndex = stream->buffered;
  return true;
}

bool takeBuffered(aStreamRef stream, uint8_t* out) {
  if (stream->buffered == 0) return false;
  *out = stream->buffer[stream->readIndex];
  stream->readIndex = (stream->readIndex + 1) % stream->capacity;
  --stream->buffered;
  return true;
}

// One get; when nothing is waiting and the stream may wait for readiness, wait (bounded) and ask
// once more before answering aErrNotReady.
aErr getOrAwait(aStreamRef stream, uint8_t* out) {
  aErr result = stream->get(out, stream->ref);
  if (result != aErrNotReady || stream->ready == nullptr || stream->readyWaitMs == 0) return result;
  if (stream->ready(stream->readyWaitMs, stream->ref) != aErrNone) return aErrNotReady;
  return stream->get(out, stream->ref);
}

}  // namespace

aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* ref) {
  aStream* stream = new (std::nothrow) aStream{};
  if (stream == nullptr) return nullptr;
  stream->get = get;
  stream->put = put;
  stream->write = write;
  stream->del = del;
  stream->ref = ref;
  stream->check = kStreamCheck;
  return stream;
}

aErr aStreamBufferChar(aStreamRef stream, uint8_t byte) {
  if (!valid(stream)) return aErrParam;
  if (stream->capacity == 0 || stream->buffered >= stream->capacity - 1) {
    if (!growRing(stream)) return aErrMemory;
  }
  stream->buffer[stream->writeIndex] = byte;
  stream->writeIndex = (stream->writeIndex + 1) % stream->capacity;
  ++stream->buffered;
  return aErrNone;
}

aErr aStream_Read(aStreamRef stream, uint8_t* buffer, size_t length) {
  if (!valid(stream) || buffer == nullptr) return aErrParam;
  if (stream->get == nullptr) return aErrMode;
  if (length == 0) return aErrNone;
  // Short reads (the link reader asks for one byte at a time) need no temporary allocation.
  uint8_t local[64];
  uint8_t* arrived = length <= sizeof local ? local : static_cast<uint8_t*>(malloc(length));
  if (arrived == nullptr) return aErrResource;
  size_t count = 0;
  aErr result = aErrNone;
  while (count < length) {
    if (takeBuffered(stream, &arrived[count])) {
      ++count;
      continue;
    }
    result = getOrAwait(stream, &arrived[count]);
    if (result != aErrNone) break;
    ++count;
  }
  if (result == aErrNotReady) {
    // The ring is empty here (it was drained before get was called), so order is kept.
    for (size_t i = 0; i < count; ++i) {
      if (aStreamBufferChar(stream, arrived[i]) != aErrNone) {
        result = aErrMemory;
        break;
      }
    }
  } else if (result == aErrNone || result == aErrEOF) {
    memcpy(buffer, arrived, count);
  }
  if (arrived != local) free(arrived);
  return result;
}

aErr aStream_Write(aStreamRef stream, const uint8_t* data, size_t length) {
  if (!valid(stream) || data == nullptr) return aErrParam;
  if (stream->put == nullptr && stream->write == nullptr) return aErrMode;
  if (stream->write != nullptr && (length > 1 || stream->put == nullptr)) {
    return stream->write(data, length, stream->ref);
  }
  aErr result = aErrNone;
  for (size_t i = 0; i < length && result == aErrNone; ++i) result = stream->put(&data[i], stream->ref);
  return result;
}

aErr aStream_Destroy(aStreamRef* stream) {
  if (stream == nullptr) return aErrParam;
  aStreamRef handle = *stream;
  *stream = nullptr;
  if (!valid(handle)) return aErrParam;
  aErr result = handle->del ? handle->del(handle->ref) : aErrNone;
  free(handle->buffer);
  handle->check = 0;
  delete handle;
  return result;
}

aErr aStream_SetReadyProc(aStreamRef stream, aStreamReadyProc ready) {
  if (!valid(stream)) return aErrParam;
  stream->ready = ready;
  return aErrNone;
}

aErr aStream_SetReadyWait(aStreamRef stream, unsigned waitMs) {
  if (!valid(stream)) return aErrParam;
  stream->readyWaitMs = waitMs < kStreamLongestReadyWaitMs ? waitMs : kStreamLongestReadyWaitMs;
  return aErrNone;
}

bool aStream_CanAwaitReady(aStreamRef stream) { return valid(stream) && stream->ready != nullptr; }

aErr aStream_SetDrainProc(aStreamRef stream, aStreamDrainProc drain) {
  if (!valid(stream)) return aErrParam;
  stream->drain = drain;
  return aErrNone;
}

aErr aStream_Drain(aStreamRef stream) {
  if (!valid(stream)) return aErrParam;
  if (stream->drain == nullptr) return aErrUnimplemented;
  return stream->drain(stream->ref);
}

void aStream_NoteDiscontinuity(aStreamRef stream) {
  if (valid(stream)) stream->discontinuities.fetch_add(1, std::memory_order_relaxed);
}

uint32_t aStream_Discontinuities(aStreamRef stream) {
  return valid(stream) ? stream->discontinuities.load(std::memory_order_relaxed) : 0;
}

void* aStream_Reference(aStreamRef stream) { return valid(stream) ? stream->ref : nullptr; }

void* aStream_ReferenceOf(aStreamRef stream, aStreamDeleteProc del) {
  return valid(stream) && stream->del == del ? stream->ref : nullptr;
}
