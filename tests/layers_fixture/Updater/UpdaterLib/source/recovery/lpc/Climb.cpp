// A recovery source that reaches up into the engine, through its public face: refused.
#include "engine/Updater.h"
