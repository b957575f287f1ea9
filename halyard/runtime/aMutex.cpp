#include "aMutex.h"

#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

struct aMutex {
  pthread_mutex_t mutex;
  char name[kMaxMutexNameLength + 1];
};

aMutexRef aMutex_Create(const char* name) {
  if (name != nullptr && strnlen(name, kMaxMutexNameLength + 1) > kMaxMutexNameLength) return nullptr;
  aMutex* mutex = static_cast<aMutex*>(calloc(1, sizeof(aMutex)));
  if (mutex == nullptr) return nullptr;
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
  int failed = pthread_mutex_init(&mutex->mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  if (failed) {
    free(mutex);
    return nullptr;
  }
  if (name) strncpy(mutex->name, name, kMaxMutexNameLength);
  return mutex;
}

aErr aMutex_Lock(aMutexRef mutex) {
  if (mutex == nullptr) return aErrParam;
  switch (pthread_mutex_lock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EDEADLK: return aErrDuplicate;
    default: return aErrUnknown;
  }
}

aErr aMutex_TryLock(aMutexRef mutex) {
  if (mutex == nullptr) return aErrParam;
  switch (pthread_mutex_trylock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EBUSY: return aErrBusy;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
  }
}

aErr aMutex_Unlock(aMutexRef mutex) {
  if (mutex == nullptr) return aErrParam;
  switch (pthread_mutex_unlock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EPERM: return aErrPermission;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
  }
}

aErr aMutex_Destroy(aMutexRef* mutex) {
  if (mutex == nullptr || *mutex == nullptr) return aErrParam;
  aErr result;
  switch (pthread_mutex_destroy(&(*mutex)->mutex)) {
    case 0: result = aErrNone; break;
    case EINVAL: result = aErrParam; break;
    case EBUSY: result = aErrBusy; break;
    case EAGAIN: result = aErrResource; break;
    default: result = aErrUnknown; break;
  }
  free(*mutex);
  *mutex = nullptr;
  return result;
}

const char* aMutex_Identifier(aMutexRef mutex) { return mutex ? mutex->name : ""; }
