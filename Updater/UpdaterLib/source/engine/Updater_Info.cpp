// What -I and -C read: the store's view of a device and what a connected module says of itself.
#include "Log.h"
#include "Module.h"
#include "engine/Updater.h"
#include "engine/UpdaterSteps.h"

using Tessaron::Halyard::Module;
using engine::_read_device_identity;

bool Updater::Read_Stored_Device(unsigned int serial, StoredDevice& device) {
  return ReadStoredDevice(updaterDirectory, serial, device);
}

bool Updater::Read_Device_Identity(unsigned int serial, DeviceIdentity& identity) {
  Module module(0, 0);
  aErr result = module.connect(linkTypeUSB, serial);
  if (result == aErrNotFound) result = module.connect(linkTypeTCPIP, serial);
  if (result != aErrNone) {
    Log::log(DEBUG_Updater, "Module %08X not reached: %d\n", serial, static_cast<int>(result));
    return false;
  }
  identity = _read_device_identity(module);
  (void)module.disconnect();  // nothing was written; a failed disconnect leaves nothing behind
  return true;
}
