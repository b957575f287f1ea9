// Drives the object layer for the end-to-end tests: one command per line on standard input,
// one JSON line per command on standard output. Modules are named by the test.
//
//   module NAME ADDRESS [MODEL] [fixed]   a Module (fixed: networking mode off)
//   free NAME                             destroys it (dropping its engine link use)
//   connect NAME TYPE SERIAL              Module::connect
//   discover NAME TYPE SERIAL             Module::discoverAndConnect (serial 0: by model)
//   spec NAME IP PORT [SERIAL]            Module::connectFromSpec with a TCP/IP specifier
//   through NAME ROUTER                   Module::connectThroughLinkModule
//   reconnect NAME | disconnect NAME | state NAME
//   magic NAME                            Link::getModuleAddress
//   sys NAME serial|model|version|module|router|reset|route V|uid W
//   get8|get16|get32 NAME OPTION [SUB]    EntityClass typed gets on the system entity
//   set8|set16|set32 NAME OPTION VALUE | call NAME OPTION | setbytes NAME OPTION HEX
//   send NAME ADDRESS COMMAND HEX         Link::sendPacket (HEX: the bytes after the command, or -)
//   recv NAME ADDRESS MATCHHEX            Link::receivePacket (MATCHHEX - matches any packet)
//   sleep MS | quit
//
// Results: {"err": code, "errText": text, ...}. Discovery multicasts, so the driver runs only
// inside the private network namespace made by sim/netns_run.sh.
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Halyard.h"
#include "aTime.h"
#include "driver_support.h"

namespace {

using namespace Tessaron::Halyard;
using Words = std::vector<std::string>;

constexpr uint32_t kUntouched = 0xA5A5A5A5;

std::map<std::string, std::unique_ptr<Module>> modules;

bool number(const std::string& text, unsigned long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  *value = strtoul(text.c_str(), &end, 0);
  return *end == '\0';
}

bool hexBytes(const std::string& text, std::vector<uint8_t>* bytes) {
  bytes->clear();
  if (text == "-") return true;
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    unsigned long value = 0;
    if (!number("0x" + text.substr(i, 2), &value)) return false;
    bytes->push_back(static_cast<uint8_t>(value));
  }
  return true;
}

std::string hexText(const uint8_t* data, size_t length) {
  std::string text;
  char digits[3];
  for (size_t i = 0; i < length; ++i) {
    snprintf(digits, sizeof digits, "%02X", data[i]);
    text += digits;
  }
  return text;
}

void fail(const std::string& why) { driver::Json().field("error", why).print(); }

driver::Json result(aErr err) {
  driver::Json json;
  json.field("err", static_cast<long long>(err)).field("errText", aError_GetErrorText(err));
  return json;
}

Module* find(const std::string& name) {
  auto found = modules.find(name);
  return found != modules.end() ? found->second.get() : nullptr;
}

driver::Json withValue(aErr err, uint32_t value) {
  driver::Json json = result(err);
  json.field("touched", value != kUntouched);
  if (value != kUntouched) json.field("value", static_cast<long long>(value));
  return json;
}

template <typename T>
driver::Json typedGet(aErr (*get)(SystemClass&, T*), SystemClass& system) {
  T value = static_cast<T>(kUntouched);
  aErr err = get(system, &value);
  return withValue(err, value == static_cast<T>(kUntouched) ? kUntouched : value);
}

void systemCommand(Module* module, const Words& w) {
  SystemClass system;
  system.init(module, 0);
  const std::string& op = w[2];
  unsigned long argument = 0;
  bool hasArgument = w.size() > 3 && number(w[3], &argument);
  if (op == "serial") {
    typedGet<uint32_t>([](SystemClass& s, uint32_t* v) { return s.getSerialNumber(v); }, system).print();
  } else if (op == "version") {
    typedGet<uint32_t>([](SystemClass& s, uint32_t* v) { return s.getVersion(v); }, system).print();
  } else if (op == "model") {
    typedGet<uint8_t>([](SystemClass& s, uint8_t* v) { return s.getModel(v); }, system).print();
  } else if (op == "module") {
    typedGet<uint8_t>([](SystemClass& s, uint8_t* v) { return s.getModule(v); }, system).print();
  } else if (op == "router") {
    typedGet<uint8_t>([](SystemClass& s, uint8_t* v) { return s.getRouter(v); }, system).print();
  } else if (op == "reset") {
    result(system.reset()).print();
  } else if (op == "route" && hasArgument) {
    result(system.routeToMe(static_cast<uint8_t>(argument))).print();
  } else if (op == "uid" && hasArgument) {
    uint32_t value = kUntouched;
    aErr err = system.getUniqueIdentifier(static_cast<uint8_t>(argument), &value);
    withValue(err, value).print();
  } else {
    fail("unknown system operation " + op);
  }
}

void entityCommand(Module* module, const Words& w) {
  SystemClass system;
  system.init(module, 0);
  const std::string& verb = w[0];
  unsigned long option = 0;
  unsigned long argument = 0;
  if (w.size() < 3 || !number(w[2], &option)) return fail("OPTION needed");
  bool hasArgument = w.size() > 3 && number(w[3], &argument);
  const uint8_t code = static_cast<uint8_t>(option);
  const uint8_t sub = static_cast<uint8_t>(argument);
  uint32_t value = kUntouched;
  if (verb == "get8") {
    uint8_t v = 0xA5;
    aErr err = hasArgument ? system.getUEI8(code, sub, &v) : system.getUEI8(code, &v);
    return withValue(err, v == 0xA5 ? kUntouched : v).print();
  }
  if (verb == "get16") {
    uint16_t v = 0xA5A5;
    aErr err = hasArgument ? system.getUEI16(code, sub, &v) : system.getUEI16(code, &v);
    return withValue(err, v == 0xA5A5 ? kUntouched : v).print();
  }
  if (verb == "get32") {
    aErr err = hasArgument ? system.getUEI32(code, sub, &value) : system.getUEI32(code, &value);
    return withValue(err, value).print();
  }
  if (verb == "call") return result(system.callUEI(code)).print();
  if (verb == "setbytes") {
    std::vector<uint8_t> bytes;
    if (w.size() < 4 || !hexBytes(w[3], &bytes)) return fail("HEX needed");
    return result(system.setUEIBytes(code, bytes.data(), static_cast<uint32_t>(bytes.size()))).print();
  }
  if (!hasArgument) return fail("VALUE needed");
  if (verb == "set8") return result(system.setUEI8(code, static_cast<uint8_t>(argument))).print();
  if (verb == "set16") return result(system.setUEI16(code, static_cast<uint16_t>(argument))).print();
  if (verb == "set32") return result(system.setUEI32(code, static_cast<uint32_t>(argument))).print();
  fail("unknown verb " + verb);
}

void stateCommand(Module* module) {
  driver::Json json;
  json.field("connected", module->isConnected())
      .field("address", static_cast<long long>(module->getModuleAddress()))
      .field("status", static_cast<long long>(module->getStatus()))
      .field("networking", module->getNetworkingMode());
  linkSpec spec{};
  if (module->getLinkSpecifier(&spec) == aErrNone) json.raw("spec", driver::specJson(spec));
  json.print();
}

void packetCommand(Module* module, const Words& w) {
  unsigned long address = 0;
  unsigned long command = 0;
  std::vector<uint8_t> bytes;
  if (w[0] == "send") {
    if (w.size() != 5 || !number(w[2], &address) || !number(w[3], &command) || !hexBytes(w[4], &bytes)) {
      return fail("send NAME ADDRESS COMMAND HEX");
    }
    return result(module->getLink()->sendPacket(static_cast<uint8_t>(address), static_cast<uint8_t>(command),
                                                static_cast<uint8_t>(bytes.size()), bytes.data()))
        .print();
  }
  if (w.size() != 4 || !number(w[2], &address) || !hexBytes(w[3], &bytes) || bytes.size() > kPacketMaxData) {
    return fail("recv NAME ADDRESS MATCHHEX");
  }
  uint8_t length = static_cast<uint8_t>(bytes.size());
  uint8_t buffer[kPacketMaxData] = {0};
  aErr err = module->getLink()->receivePacket(static_cast<uint8_t>(address), bytes.data(), &length, buffer);
  driver::Json json = result(err);
  if (err == aErrNone) json.field("data", hexText(buffer, length));
  json.print();
}

void connectCommand(Module* module, const Words& w) {
  unsigned long type = 0;
  unsigned long serial = 0;
  const std::string& verb = w[0];
  aErr err = aErrNone;
  if (verb == "connect" || verb == "discover") {
    if (w.size() != 4 || !number(w[2], &type) || !number("0x" + w[3], &serial)) return fail(verb + " NAME TYPE SERIAL");
    err = verb == "connect" ? module->connect(static_cast<linkType>(type), static_cast<uint32_t>(serial))
                            : module->discoverAndConnect(static_cast<linkType>(type), static_cast<uint32_t>(serial));
  } else if (verb == "spec") {
    unsigned long port = 0;
    linkSpec spec{};
    spec.type = linkTypeTCPIP;
    if (w.size() < 4 || inet_pton(AF_INET, w[2].c_str(), &spec.t.ip.ipAddress) != 1 || !number(w[3], &port)) {
      return fail("spec NAME IP PORT [SERIAL]");
    }
    spec.t.ip.ipPort = static_cast<uint32_t>(port);
    if (w.size() > 4 && number("0x" + w[4], &serial)) spec.serialNumber = static_cast<uint32_t>(serial);
    err = module->connectFromSpec(spec);
  } else if (verb == "through") {
    Module* router = w.size() == 3 ? find(w[2]) : nullptr;
    if (router == nullptr) return fail("through NAME ROUTER");
    err = module->connectThroughLinkModule(router);
  } else if (verb == "reconnect") {
    err = module->reconnect();
  } else {
    err = module->disconnect();
  }
  result(err).field("address", static_cast<long long>(module->getModuleAddress())).print();
}

void moduleCommand(const Words& w) {
  unsigned long address = 0;
  unsigned long model = 0;
  if (w.size() < 3 || !number(w[2], &address) || (w.size() > 3 && !number(w[3], &model))) {
    return fail("module NAME ADDRESS [MODEL] [fixed]");
  }
  bool networking = !(w.size() > 4 && w[4] == "fixed");
  modules[w[1]] = std::make_unique<Module>(static_cast<uint8_t>(address), networking, static_cast<uint8_t>(model));
  driver::Json().field("ok", true).print();
}

void run(const Words& w) {
  const std::string& verb = w[0];
  if (verb == "module") return moduleCommand(w);
  if (verb == "sleep") {
    unsigned long ms = 0;
    if (w.size() == 2 && number(w[1], &ms) && ms <= 60000) aTime_MSSleep(ms);
    return driver::Json().field("ok", true).print();
  }
  Module* module = w.size() > 1 ? find(w[1]) : nullptr;
  if (module == nullptr) return fail("no module named " + (w.size() > 1 ? w[1] : std::string()));
  if (verb == "free") {
    modules.erase(w[1]);
    return driver::Json().field("ok", true).print();
  }
  if (verb == "connect" || verb == "discover" || verb == "spec" || verb == "through" || verb == "reconnect" ||
      verb == "disconnect") {
    return connectCommand(module, w);
  }
  if (verb == "state") return stateCommand(module);
  if (verb == "magic") {
    uint8_t address = 0x55;
    aErr err = module->getLink() != nullptr ? module->getLink()->getModuleAddress(&address) : aErrInitialization;
    return result(err).field("address", static_cast<long long>(address)).print();
  }
  if (verb == "sys" && w.size() >= 3) return systemCommand(module, w);
  if (verb.rfind("get", 0) == 0 || verb.rfind("set", 0) == 0 || verb == "call") return entityCommand(module, w);
  if (verb == "send" || verb == "recv") return packetCommand(module, w);
  fail("unknown command " + verb);
}

}  // namespace

int main() {
  if (!driver::insidePrivateNamespace()) {
    fputs("objects_driver: runs only inside sim/netns_run.sh (it discovers by multicast)\n", stderr);
    return 2;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    Words w;
    for (std::string word; words >> word;) w.push_back(word);
    if (w.empty()) continue;
    if (w[0] == "quit") break;
    run(w);
  }
  modules.clear();
  return 0;
}
