#pragma once
#include "aError.h"

typedef struct aMutex* aMutexRef;

constexpr unsigned kMaxMutexNameLength = 255;

// Null when the name is longer than 255 characters or memory runs out; a null name is empty.
aMutexRef aMutex_Create(const char* name);
[[nodiscard]] aErr aMutex_Lock(aMutexRef mutex);
[[nodiscard]] aErr aMutex_TryLock(aMutexRef mutex);
[[nodiscard]] aErr aMutex_Unlock(aMutexRef mutex);
// Frees the record and nulls the handle whatever the result.
[[nodiscard]] aErr aMutex_Destroy(aMutexRef* mutex);
const char* aMutex_Identifier(aMutexRef mutex);
