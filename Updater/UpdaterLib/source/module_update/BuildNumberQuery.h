#pragma once
// The module's firmware build number, asked with command 0x49 and the query byte 0xFF and
// answered 49 FF build32: asked of one module (the engine's steps) or of many at once behind a
// router (NetworkScan).
#include <cstdint>

namespace Tessaron {
namespace Halyard {
class Module;
}
}  // namespace Tessaron

namespace build_number {

constexpr uint8_t kCommand = 0x49;
constexpr uint8_t kQuery = 0xFF;
constexpr uint8_t kReplyLength = 6;  // 49 FF build32

// The build number an answer of length data bytes (command byte included) carries; 0 when the
// answer is not the query's.
uint32_t FromReply(const uint8_t* reply, uint8_t length);
// Asked of the module over its link; 0 on any failure.
uint32_t Read(Tessaron::Halyard::Module& module);

}  // namespace build_number
