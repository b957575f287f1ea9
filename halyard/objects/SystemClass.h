#pragma once
// The system entity (command 3) of a module: its address, routing, version, model, serial
// number, unique identifier and restart.
#include <cstdint>

#include "Entity.h"

namespace Tessaron {
namespace Halyard {

constexpr uint8_t cmdSYSTEM = 3;

// System entity options.
constexpr uint8_t systemModule = 1;             // 8-bit get: the module's own address
constexpr uint8_t systemRouter = 2;             // 8-bit get: the module that routes for it
constexpr uint8_t systemVersion = 7;            // 32-bit get: packed firmware version
constexpr uint8_t systemModel = 8;              // 8-bit get: model number
constexpr uint8_t systemSerialNumber = 9;       // 32-bit get: serial number
constexpr uint8_t systemReset = 11;             // call: the module restarts
constexpr uint8_t systemRouteToMe = 20;         // 8-bit set
constexpr uint8_t systemUniqueIdentifier = 39;  // 32-bit get with a sub-index 0..3

class SystemClass : public EntityClass {
 public:
  void init(Module* module, uint8_t index) { EntityClass::init(module, cmdSYSTEM, index); }

  [[nodiscard]] aErr getModule(uint8_t* address) { return getUEI8(systemModule, address); }
  [[nodiscard]] aErr getRouter(uint8_t* address) { return getUEI8(systemRouter, address); }
  [[nodiscard]] aErr getVersion(uint32_t* version) { return getUEI32(systemVersion, version); }
  [[nodiscard]] aErr getModel(uint8_t* model) { return getUEI8(systemModel, model); }
  [[nodiscard]] aErr getSerialNumber(uint32_t* serialNumber) { return getUEI32(systemSerialNumber, serialNumber); }
  // aErrTimeout when the module restarted before its reply left.
  [[nodiscard]] aErr reset() { return callUEI(systemReset); }
  [[nodiscard]] aErr routeToMe(uint8_t value) { return setUEI8(systemRouteToMe, value); }
  [[nodiscard]] aErr getUniqueIdentifier(uint8_t word, uint32_t* value) {
    return getUEI32(systemUniqueIdentifier, word, value);
  }
};

}  // namespace Halyard
}  // namespace Tessaron
