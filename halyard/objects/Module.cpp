#include "Module.h"

#include <new>

#include "aRetry.h"

namespace Tessaron {
namespace Halyard {

namespace {
constexpr const char* kModuleLinkName = "Link";
}

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networking, uint8_t model)
    : m_link(new (std::nothrow) Link(kModuleLinkName)), m_address(address), m_networking(networking), m_model(model) {}

Module::~Module() = default;

aErr Module::ensureLink() {
  if (m_link == nullptr) m_link.reset(new (std::nothrow) Link(kModuleLinkName));
  return m_link != nullptr ? aErrNone : aErrInitialization;
}

void Module::learnAddress() {
  if (!m_networking || m_link == nullptr) return;
  uint8_t learned = 0;
  // Asked again only while the answer is not ready yet; what was learned, if anything, speaks
  // for the outcome.
  (void)RetryBounded(kModuleAddressQueries, kModuleAddressQueryPauseMs, [&](unsigned) {
    return m_link->getModuleAddress(&learned) == aErrNotReady ? aErrNotReady : aErrNone;
  });
  if (learned != 0 && learned != m_address) m_address = learned;
}

aErr Module::connect(linkType type, uint32_t serialNumber) {
  if (serialNumber == 0) return aErrParam;
  return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
  aErr result = ensureLink();
  if (result != aErrNone) return result;
  result = m_link->discoverAndConnect(type, serialNumber, m_model);
  if (result == aErrNone) learnAddress();
  return result;
}

aErr Module::connectFromSpec(const linkSpec& spec) {
  aErr result = ensureLink();
  if (result != aErrNone) return result;
  if (m_link->isConnected()) return aErrBusy;
  result = m_link->setLinkSpecifier(spec);
  if (result != aErrNone) return result;
  result = m_link->connect();
  if (result == aErrNone) learnAddress();
  return result;
}

aErr Module::connectThroughLinkModule(Module* linkModule) {
  if (linkModule == nullptr) return aErrParam;
  linkSpec spec;
  aErr result = linkModule->getLinkSpecifier(&spec);
  if (result != aErrNone) return result;
  result = ensureLink();
  if (result != aErrNone) return result;
  result = m_link->setLinkSpecifier(spec);
  if (result != aErrNone) return result;
  result = m_link->connect();
  if (result == aErrNone) m_networking = false;
  return result;
}

aErr Module::reconnect() {
  if (m_link == nullptr) return aErrInitialization;
  aErr result = m_link->connect();
  if (result == aErrNone) learnAddress();
  return result;
}

aErr Module::disconnect() {
  if (m_link == nullptr) return aErrInitialization;
  return m_link->disconnect();
}

bool Module::isConnected() const { return m_link != nullptr && m_link->isConnected(); }

aErr Module::getLinkSpecifier(linkSpec* spec) const {
  if (m_link == nullptr) return aErrNotReady;
  return m_link->getLinkSpecifier(spec);
}

linkStatus Module::getStatus() const { return m_link != nullptr ? m_link->getStatus() : linkError; }

}  // namespace Halyard
}  // namespace Tessaron
