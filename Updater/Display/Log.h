#pragma once
#include <cstdint>
#include <cstddef>
#include <cstdio>

// Package bits of the diagnostic log, enabled with -X.
enum LogPackage : unsigned int {
  DEBUG_Always = 0x00000000,
  DEBUG_Updater = 0x00000001,
  DEBUG_History = 0x00000002,
  DEBUG_Attributes = 0x00000004,
  DEBUG_BirdFile = 0x00000008,
  DEBUG_Network_Legacy = 0x00000010,
  DEBUG_ServerComm = 0x00000020,
  DEBUG_Network = 0x00000100,
  DEBUG_Network_SR = 0x00000200,
  DEBUG_Network_FIRM = 0x00000400,
  DEBUG_NXPSerial = 0x00001000,
  DEBUG_NXPSerial_E = 0x00002000,
  DEBUG_NXPSerial_SR = 0x00004000,
  DEBUG_APP = 0x00010000,
  DEBUG_iMXSerial = 0x10000000,
};

// Process-wide diagnostic log. Records of disabled packages cost one comparison.
class Log {
 public:
  static constexpr const char* TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
  static constexpr const char* SEPARATOR = " | ";
  static constexpr size_t RECORD_SIZE = 2048;

  static FILE* fh;
  static uint32_t package_bitmask;
  static bool timestamped;
  // Receives every record written, besides fh (the front end's -k log file); none when null.
  static void (*copy)(const char* record, size_t length);

  static void log(unsigned int package, const char* format, ...) __attribute__((format(printf, 2, 3)));
  static bool enabled(unsigned int package) { return package == 0 || (package & package_bitmask) != 0; }
  static void SetOutput(FILE* out);
  static void ActivatePackage(unsigned int mask);
  static unsigned int DeactivatePackage(unsigned int mask);
  // Replaces, in place, every control character but "\n" and "\t" and every byte that is no part
  // of a printable UTF-8 character by "?"; log() does so with every record.
  static void EscapeControls(char* record, size_t size);
};
