#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "CommandsClass.h"
#include "aDefs.h"

constexpr size_t kHomeDirectorySize = 2048;

// Everything the command line sets, with the defaults of a bare command line.
struct Parameters {
  Parameters() { SetDefaults(); }

  CommandsClass commands;
  uint32_t serialNumber = 0;  // the first device named
  std::vector<uint32_t> deviceSerials;  // every device named by -d, in order, each once
  bool allDevices = false;              // -d all: every module discovery finds
  uint32_t devicesAtOnce = 0;           // -j: devices handled side by side (0: the default)
  uint32_t routerSerialNumber = 0;
  linkType transport = linkTypeUSB;
  bool transportGiven = false;
  std::string serialPort;
  uint32_t baudRate = 0;
  uint8_t moduleAddress = 0;
  std::string birdFile;
  std::string historyMessage;
  std::string build;  // decimal text; empty when none was given
  bool echoBytes = false;
  std::string serverUrl;
  bool flagN = false;
  std::string programName;
  char homeDirectory[kHomeDirectorySize] = {};
  std::string logFileName;
  bool logFileGiven = false;  // -k: log records are also appended to logFileName
  bool overrideModelCheck = false;
  uint32_t logPackageMask = 0;
  bool extendedUsage = true;
  bool helpRequested = false;
  bool json = false;  // --json: one JSON document on standard output, every other line on standard error

  // More than one device, every module found, or -j: each device runs in a process of its own.
  bool SeveralDevices() const {
    return allDevices || deviceSerials.size() > 1 || (devicesAtOnce != 0 && !deviceSerials.empty());
  }

  // Puts every field back to the default of a bare command line.
  void SetDefaults();
};

// Releases what the record owns besides its strings (nothing at present); returns 0.
int _release_params(Parameters* params);
