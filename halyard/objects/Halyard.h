#pragma once
// Object layer of the device library: links, modules and entities over the runtime.
namespace Tessaron {
namespace Halyard {}
}  // namespace Tessaron
