#pragma once
#include <cstdint>

// Command bits of the command line.
enum COMMANDS : uint32_t {
  CMD_DISCOVER = 0x00000001,     // -D
  CMD_UPDATE = 0x00000002,       // -U
  CMD_LIST_BUILDS = 0x00000004,  // -B
  CMD_GET_BUILD = 0x00000008,    // -G
  CMD_INFO = 0x00000010,         // -I
  CMD_CHECK = 0x00000020,        // -C
  CMD_FINGERPRINT = 0x00000040,  // -N
  CMD_Z = 0x00000080,            // -Z
  CMD_HELP = 0x80000000,         // -h, -H, --help
  // Any command: what the main flow tests to decide whether there is work to do.
  CMD_ANY = 0x000305FF,
};

// The set of requested commands.
class CommandsClass {
 public:
  CommandsClass() = default;

  void Set(uint32_t commands) { mask_ |= commands; }
  // True when the mask shares at least one bit with commands (so a group can be tested at once).
  bool IsSet(uint32_t commands) const { return (mask_ & commands) != 0; }
  uint32_t Mask() const { return mask_; }

 private:
  uint32_t mask_ = 0;
};
