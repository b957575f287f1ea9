#include "module_update/BuildNumberQuery.h"

#include "Link.h"
#include "Module.h"
#include "aPacket.h"
#include "aUEI.h"

using Tessaron::Halyard::Link;

uint32_t build_number::FromReply(const uint8_t* reply, uint8_t length) {
  if (length != kReplyLength) return 0;
  return aUEI_RetrieveInt(reply + 2);
}

uint32_t build_number::Read(Tessaron::Halyard::Module& module) {
  Link* link = module.getLink();
  if (link == nullptr) return 0;
  const uint8_t query = kQuery;
  if (link->sendPacket(module.getModuleAddress(), kCommand, 1, &query) != aErrNone) return 0;
  const uint8_t match[2] = {kCommand, kQuery};
  uint8_t reply[kPacketMaxData];
  uint8_t length = sizeof match;
  if (link->receivePacket(module.getModuleAddress(), match, &length, reply) != aErrNone) return 0;
  return FromReply(reply, length);
}
