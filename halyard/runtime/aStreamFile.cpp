// File streams, terminator-delimited records and stream-to-stream copying.
#include "aFile.h"
#include "aStream.h"

#include <cstring>

namespace {

aErr fileGet(uint8_t* out, void* ref) {
  size_t read = 0;
  aErr result = aFile_Read(static_cast<aFileRef>(ref), out, 1, &read);
  if (result != aErrNone) return result;
  return read == 1 ? aErrNone : aErrEOF;
}

aErr filePut(const uint8_t* byte, void* ref) {
  size_t written = 0;
  aErr result = aFile_Write(static_cast<aFileRef>(ref), byte, 1, &written);
  if (result != aErrNone) return result;
  return written == 1 ? aErrNone : aErrWrite;
}

aErr fileDelete(void* ref) {
  aFileRef file = static_cast<aFileRef>(ref);
  return aFile_Close(&file);
}

aErr createFileStream(const char* path, int mode, aStreamRef* stream) {
  if (stream == nullptr) return aErrParam;
  *stream = nullptr;
  if (path == nullptr) return aErrParam;
  aFileRef file = aFile_Open(path, mode);
  if (file == nullptr) return aErrNotFound;
  *stream = mode == aFileModeRead ? aStream_Create(fileGet, nullptr, nullptr, fileDelete, file)
                                  : aStream_Create(nullptr, filePut, nullptr, fileDelete, file);
  if (*stream == nullptr) {
    (void)aFile_Close(&file);  // cleanup: aErrMemory is returned
    return aErrMemory;
  }
  return aErrNone;
}

// Reads bytes up to the terminator (consumed, not stored). Stores at most capacity - 1 bytes and
// a closing zero.
aErr readUntil(aStreamRef stream, char* buffer, size_t capacity, char terminator, size_t* length) {
  if (length != nullptr) *length = 0;
  if (buffer == nullptr || capacity == 0) return aErrParam;
  size_t stored = 0;
  bool truncated = false;
  buffer[0] = '\0';
  for (;;) {
    uint8_t byte;
    aErr result = aStream_Read(stream, &byte, 1);
    if (result != aErrNone) {
      // End of input after some bytes still gives a record.
      if (result == aErrEOF && (stored > 0 || truncated)) break;
      return result;
    }
    if (static_cast<char>(byte) == terminator) break;
    if (stored + 1 >= capacity) {
      truncated = true;  // the rest of the record is skipped so the next read starts a record
      continue;
    }
    buffer[stored++] = static_cast<char>(byte);
    buffer[stored] = '\0';
    if (length != nullptr) *length = stored;
  }
  return truncated ? aErrOverrun : aErrNone;
}

aErr writeWithTerminator(aStreamRef stream, const char* data, size_t length, char terminator) {
  if (data == nullptr) return aErrParam;
  if (length > 0) {
    aErr result = aStream_Write(stream, reinterpret_cast<const uint8_t*>(data), length);
    if (result != aErrNone) return result;
  }
  uint8_t end = static_cast<uint8_t>(terminator);
  return aStream_Write(stream, &end, 1);
}

}  // namespace

aErr aStream_CreateFileInput(const char* path, aStreamRef* stream) {
  return createFileStream(path, aFileModeRead, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream) {
  return createFileStream(path, aFileModeWrite, stream);
}

aErr aStream_ReadRecord(aStreamRef stream, char* buffer, size_t capacity, char terminator, size_t* length) {
  return readUntil(stream, buffer, capacity, terminator, length);
}

aErr aStream_WriteRecord(aStreamRef stream, const char* data, size_t length, char terminator) {
  return writeWithTerminator(stream, data, length, terminator);
}

aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t capacity) {
  return readUntil(stream, buffer, capacity, '\0', nullptr);
}

aErr aStream_WriteCString(aStreamRef stream, const char* text) {
  if (text == nullptr) return aErrParam;
  return writeWithTerminator(stream, text, strlen(text), '\0');
}

aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t capacity, char terminator) {
  return readUntil(stream, buffer, capacity, terminator, nullptr);
}

aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, char terminator) {
  if (text == nullptr) return aErrParam;
  return writeWithTerminator(stream, text, strlen(text), terminator);
}

aErr aStream_Flush(aStreamRef in, aStreamRef out) {
  for (;;) {
    uint8_t byte;
    aErr result = aStream_Read(in, &byte, 1);
    if (result == aErrEOF) return aErrNone;
    if (result != aErrNone) return result;
    result = aStream_Write(out, &byte, 1);
    if (result != aErrNone) return result;
  }
}
