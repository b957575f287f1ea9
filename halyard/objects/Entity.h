#pragma once
// One addressable function inside a module (named by a command byte, the entity class, and an
// index), read, set and called with UEI transactions over the module's link.
#include <cstdint>
#include <memory>

#include "Module.h"
#include "UEI.h"

namespace Tessaron {
namespace Halyard {

// The aErr a module's error reply carries; a code of 0 or beyond the table is still a failure.
[[nodiscard]] aErr moduleErrorCode(uint32_t code);

class EntityClass {
 public:
  EntityClass();
  virtual ~EntityClass();
  EntityClass(const EntityClass&) = delete;
  EntityClass& operator=(const EntityClass&) = delete;

  void init(Module* module, uint8_t command, uint8_t index);

  // A get of `option`; a record of type 1 on entry carries an 8-bit sub-index. On success the
  // record holds the reply's value and type. A module's error reply gives the aErr it sent.
  [[nodiscard]] aErr getUEI(uint8_t option, uei* message);
  // A set of `option` to the record's value (or a call when its type is 0).
  [[nodiscard]] aErr setUEI(uint8_t option, uei* message);
  [[nodiscard]] aErr callUEI(uint8_t option);

  // Typed forms. Getters give aErrParam for a null output, and aErrPacket for a reply whose
  // value is not of the type asked for; the output changes only on success.
  [[nodiscard]] aErr setUEI8(uint8_t option, uint8_t value);
  [[nodiscard]] aErr setUEI16(uint8_t option, uint16_t value);
  [[nodiscard]] aErr setUEI32(uint8_t option, uint32_t value);
  [[nodiscard]] aErr setUEIBytes(uint8_t option, const uint8_t* data, uint32_t length);
  [[nodiscard]] aErr getUEI8(uint8_t option, uint8_t* value);
  [[nodiscard]] aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
  [[nodiscard]] aErr getUEI16(uint8_t option, uint16_t* value);
  [[nodiscard]] aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
  [[nodiscard]] aErr getUEI32(uint8_t option, uint32_t* value);
  [[nodiscard]] aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);
  // Removes queued replies of `option` (get replies, and set replies when `set`).
  unsigned drainUEI(uint8_t option, bool set);

  // Raw packets to and from the entity's module (Link::sendPacket, Link::receivePacket);
  // aErrResource without a module or link.
  [[nodiscard]] aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
  [[nodiscard]] aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer);

  Module* getModule() const;
  uint8_t getCommand() const;
  uint8_t getIndex() const;

  struct impl;

 private:
  [[nodiscard]] aErr transact(uint8_t requestOption, uint8_t replyOption, uei* message);
  [[nodiscard]] aErr getTyped(uint8_t option, bool withSubindex, uint8_t subindex, ueiType type, uint32_t* value);
  [[nodiscard]] aErr setTyped(uint8_t option, ueiType type, uint32_t value);
  Link* link() const;

  std::unique_ptr<impl> m_impl;
};

}  // namespace Halyard
}  // namespace Tessaron
