#pragma once
#include <cstddef>
#include <string>

// A table of the names programs read for the values of an enum, and its lookups both ways.
template <typename Enum>
struct EnumName {
  Enum value;
  const char* name;
};

template <typename Enum, size_t N>
const char* NameOf(const EnumName<Enum> (&table)[N], Enum value, const char* otherwise) {
  for (const EnumName<Enum>& entry : table) {
    if (entry.value == value) return entry.name;
  }
  return otherwise;
}

// False, *value untouched, for a name that is not in the table (or is empty).
template <typename Enum, size_t N>
bool ValueOf(const EnumName<Enum> (&table)[N], const std::string& name, Enum* value) {
  for (const EnumName<Enum>& entry : table) {
    if (!name.empty() && name == entry.name) {
      *value = entry.value;
      return true;
    }
  }
  return false;
}
