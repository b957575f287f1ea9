#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Bytes as two upper-case hexadecimal digits each, separated by single spaces ("0A FF 10"); empty
// for no bytes. The one byte format of the diagnostic dumps (serial ISP exchanges, the link's
// packet log, firmware block dumps).
std::string aHex_Bytes(const uint8_t* bytes, size_t length);
