#include "Entity.h"

#include <new>

namespace Tessaron {
namespace Halyard {

struct EntityClass::impl {
  EntityClass* owner;
  Module* module = nullptr;  // not owned
  uint8_t command = 0;
  uint8_t index = 0;

  explicit impl(EntityClass* entity) : owner(entity) {}
};

aErr moduleErrorCode(uint32_t code) {
  if (code == aErrNone || code > aErrUnknown) return aErrUnknown;
  return static_cast<aErr>(code);
}

EntityClass::EntityClass() : m_impl(new (std::nothrow) impl(this)) {}

EntityClass::~EntityClass() = default;

void EntityClass::init(Module* module, uint8_t command, uint8_t index) {
  if (m_impl == nullptr) return;
  m_impl->module = module;
  m_impl->command = command;
  m_impl->index = index;
}

Module* EntityClass::getModule() const { return m_impl != nullptr ? m_impl->module : nullptr; }
uint8_t EntityClass::getCommand() const { return m_impl != nullptr ? m_impl->command : 0; }
uint8_t EntityClass::getIndex() const { return m_impl != nullptr ? m_impl->index : 0; }

Link* EntityClass::link() const {
  Module* module = getModule();
  return module != nullptr ? module->getLink() : nullptr;
}

aErr EntityClass::transact(uint8_t requestOption, uint8_t replyOption, uei* message) {
  Link* target = link();
  if (target == nullptr) return aErrResource;
  if (message == nullptr) return aErrParam;
  const uint8_t index = m_impl->index & kUEIIndexMask;
  message->module = m_impl->module->getModuleAddress();
  message->command = m_impl->command;
  message->option = requestOption;
  message->specifier = static_cast<uint8_t>(index | kUEISpecifierRequest);
  aErr result = target->sendUEI(*message);
  if (result != aErrNone) return result;
  message->option = replyOption;
  message->specifier = index;
  // A reply of a length that carries no value type must not leave the request's value behind
  // (a sub-index would read as the answer).
  message->type = ueiTypeNone;
  message->value = 0;
  result = target->receiveUEI(message->module, message->command, replyOption, index, message);
  if (result != aErrNone) return result;
  if (message->specifier & kUEISpecifierError) return moduleErrorCode(message->value);
  return aErrNone;
}

aErr EntityClass::getUEI(uint8_t option, uei* message) {
  // Streamed values would answer here; this library never enables streaming.
  const uint8_t code = option & kUEIOptionMask;
  return transact(static_cast<uint8_t>(code | kUEIOptionGet), code, message);
}

aErr EntityClass::setUEI(uint8_t option, uei* message) {
  const uint8_t code = option & kUEIOptionMask;
  return transact(static_cast<uint8_t>(code | kUEIOptionSet), static_cast<uint8_t>(code | kUEIOptionSetReply),
                  message);
}

aErr EntityClass::callUEI(uint8_t option) {
  uei message;
  return setUEI(option, &message);
}

aErr EntityClass::setTyped(uint8_t option, ueiType type, uint32_t value) {
  uei message;
  message.type = type;
  message.value = value;
  return setUEI(option, &message);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) { return setTyped(option, ueiTypeByte, value); }
aErr EntityClass::setUEI16(uint8_t option, uint16_t value) { return setTyped(option, ueiTypeShort, value); }
aErr EntityClass::setUEI32(uint8_t option, uint32_t value) { return setTyped(option, ueiTypeInt, value); }

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, uint32_t length) {
  uei message;
  message.type = ueiTypeBytes;
  message.data = data;
  message.length = length;
  return setUEI(option, &message);
}

aErr EntityClass::getTyped(uint8_t option, bool withSubindex, uint8_t subindex, ueiType type, uint32_t* value) {
  uei message;
  if (withSubindex) {
    message.type = ueiTypeByte;
    message.value = subindex;
  }
  aErr result = getUEI(option, &message);
  if (result != aErrNone && result != aErrStreamStale) return result;
  if (message.type != type) return aErrPacket;
  *value = message.value;
  return result;
}

namespace {

// Runs a typed get into a 32-bit temporary and stores it, narrowed, only on success.
template <typename T, typename Get>
aErr getInto(T* value, Get get) {
  if (value == nullptr) return aErrParam;
  uint32_t received = 0;
  aErr result = get(&received);
  if (result == aErrNone || result == aErrStreamStale) *value = static_cast<T>(received);
  return result;
}

}  // namespace

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value) {
  return getInto(value, [&](uint32_t* v) { return getTyped(option, false, 0, ueiTypeByte, v); });
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value) {
  return getInto(value, [&](uint32_t* v) { return getTyped(option, true, subindex, ueiTypeByte, v); });
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* value) {
  return getInto(value, [&](uint32_t* v) { return getTyped(option, false, 0, ueiTypeShort, v); });
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value) {
  return getInto(value, [&](uint32_t* v) { return getTyped(option, true, subindex, ueiTypeShort, v); });
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* value) {
  return getInto(value, [&](uint32_t* v) { return getTyped(option, false, 0, ueiTypeInt, v); });
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value) {
  return getInto(value, [&](uint32_t* v) { return getTyped(option, true, subindex, ueiTypeInt, v); });
}

unsigned EntityClass::drainUEI(uint8_t option, bool set) {
  Link* target = link();
  if (target == nullptr) return 0;
  const uint8_t code = option & kUEIOptionMask;
  const uint8_t address = m_impl->module->getModuleAddress();
  unsigned drained = target->dropMatchingUEIPackets(address, m_impl->command, code, m_impl->index);
  if (set) {
    drained += target->dropMatchingUEIPackets(address, m_impl->command,
                                              static_cast<uint8_t>(code | kUEIOptionSetReply), m_impl->index);
  }
  return drained;
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
  Link* target = link();
  if (target == nullptr) return aErrResource;
  return target->sendPacket(m_impl->module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer) {
  Link* target = link();
  if (target == nullptr) return aErrResource;
  return target->receivePacket(m_impl->module->getModuleAddress(), match, length, buffer);
}

}  // namespace Halyard
}  // namespace Tessaron
