#pragma once
#include <cstddef>
#include <cstdint>

// Big-endian field access for device messages.
uint16_t aUEI_RetrieveShort(const uint8_t* bytes);
void aUEI_StoreShort(uint8_t* bytes, uint16_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* bytes);
void aUEI_StoreInt(uint8_t* bytes, uint32_t value);
// Converts count big-endian words in place to host order; returns count.
size_t aUEI_ModifyIntBuffer(uint32_t* words, size_t count);
