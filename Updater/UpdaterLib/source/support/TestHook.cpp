#include "support/TestHook.h"

#include <cstdlib>

unsigned long TestHook_LongWaitMs(unsigned long productionMs) {
  const char* text = getenv(kTestHookLongWaitVariable);
  if (text == nullptr || *text < '0' || *text > '9') return productionMs;
  char* end = nullptr;
  unsigned long hook = strtoul(text, &end, 10);
  if (*end != '\0' || hook == 0) return productionMs;
  return hook < productionMs ? hook : productionMs;
}
