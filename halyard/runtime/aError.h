#pragma once
// Error codes shared by the device library and the update engine.

enum aErr {
  aErrNone = 0,
  aErrMemory,
  aErrParam,
  aErrNotFound,
  aErrFileNameLength,
  aErrBusy,
  aErrIO,
  aErrMode,
  aErrWrite,
  aErrRead,
  aErrEOF,
  aErrNotReady,
  aErrPermission,
  aErrRange,
  aErrSize,
  aErrOverrun,
  aErrParse,
  aErrConfiguration,
  aErrTimeout,
  aErrInitialization,
  aErrVersion,
  aErrUnimplemented,
  aErrDuplicate,
  aErrCancel,
  aErrPacket,
  aErrConnection,
  aErrIndexRange,
  aErrShortCommand,
  aErrInvalidEntity,
  aErrInvalidOption,
  aErrResource,
  aErrMedia,
  aErrAsyncReturn,
  aErrStreamStale,
  aErrUnknown
};

// Both return a static text, never null; values outside the table map to aErrUnknown.
const char* aError_GetErrorText(int error);
const char* aError_GetErrorDescription(int error);
