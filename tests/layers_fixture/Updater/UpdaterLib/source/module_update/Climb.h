// A module-side header that takes a type from the engine: refused.
#include "engine/Fingerprint.h"
