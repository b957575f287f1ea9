#pragma once
// One addressed device on the modules' network, reached through its own Link.
#include <cstdint>
#include <memory>

#include "Link.h"

namespace Tessaron {
namespace Halyard {

// Magic queries tried after connecting, and the pause after each unanswered one.
constexpr unsigned kModuleAddressQueries = 4;
constexpr unsigned long kModuleAddressQueryPauseMs = 5;

class Module {
 public:
  // Networking mode on: the address is learned from the module after connecting.
  Module(uint8_t address, uint8_t model);
  Module(uint8_t address, bool networking, uint8_t model);
  virtual ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // aErrParam for serial number 0; else discoverAndConnect.
  [[nodiscard]] aErr connect(linkType type, uint32_t serialNumber);
  // Finds the module (serial number 0: the first of the model given at construction) and
  // connects; then learns the address.
  [[nodiscard]] aErr discoverAndConnect(linkType type, uint32_t serialNumber);
  // aErrBusy when already connected; else connects to `spec` and learns the address.
  [[nodiscard]] aErr connectFromSpec(const linkSpec& spec);
  // Connects over the link of a routing module (sharing its engine link) and keeps the address
  // given by the caller from then on. aErrNotReady when the other module has no link.
  [[nodiscard]] aErr connectThroughLinkModule(Module* linkModule);
  // Connects the existing link again (re-creating its engine link after a disconnect), then
  // learns the address. aErrInitialization without a link.
  [[nodiscard]] aErr reconnect();
  // aErrInitialization without a link.
  [[nodiscard]] aErr disconnect();
  bool isConnected() const;

  uint8_t getModuleAddress() const { return m_address; }
  void setModuleAddress(uint8_t address) { m_address = address; }
  Link* getLink() const { return m_link.get(); }
  // aErrNotReady without a link.
  [[nodiscard]] aErr getLinkSpecifier(linkSpec* spec) const;
  linkStatus getStatus() const;
  bool getNetworkingMode() const { return m_networking; }
  void setNetworkingMode(bool networking) { m_networking = networking; }

 private:
  [[nodiscard]] aErr ensureLink();
  void learnAddress();

  std::unique_ptr<Link> m_link;
  uint8_t m_address;
  bool m_networking;
  uint8_t m_model;
};

}  // namespace Halyard
}  // namespace Tessaron
