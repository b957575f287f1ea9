#include "aLinkSpec.h"

#include <cstdlib>

#include "aError.h"

linkSpec* aLinkSpec_Create(linkType type) {
  linkSpec* spec = static_cast<linkSpec*>(calloc(1, sizeof(linkSpec)));
  if (spec != nullptr) spec->type = type;
  return spec;
}

linkSpec* aLinkSpec_Copy(linkSpec spec) {
  linkSpec* copy = static_cast<linkSpec*>(malloc(sizeof(linkSpec)));
  if (copy != nullptr) *copy = spec;
  return copy;
}

int aLinkSpec_Destroy(linkSpec** spec) {
  if (spec == nullptr || *spec == nullptr) return aErrParam;
  free(*spec);
  *spec = nullptr;
  return aErrNone;
}
