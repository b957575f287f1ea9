// Reaches into the engine from the store: the check must name it.
#include "engine/Updater.h"
#include "engine/UpdaterSteps.h"
