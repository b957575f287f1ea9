#include "engine/Updater.h"

Updater::Updater(const char* url, const char* directory, UpdaterDisplayInterface& out)
    : serverUrl(url ? url : ""), updaterDirectory(directory ? directory : ""), display(out) {}

void Updater::reportUnavailable(const char* command) {
  display.message(UpdaterDisplayInterface::ERROR, "%s is not available in this build", command);
}
