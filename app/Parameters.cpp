#include "Parameters.h"

#include "AppInfo.h"

void Parameters::SetDefaults() {
  commands = CommandsClass();
  serialNumber = 0;
  deviceSerials.clear();
  allDevices = false;
  devicesAtOnce = 0;
  routerSerialNumber = 0;
  transport = linkTypeUSB;
  transportGiven = false;
  serialPort.clear();
  baudRate = kDefaultBaudRate;
  moduleAddress = 0;
  birdFile.clear();
  historyMessage.clear();
  build.clear();
  echoBytes = false;
  serverUrl = kDefaultServerUrl;
  flagN = false;
  programName.clear();
  homeDirectory[0] = '\0';
  logFileName = kDefaultLogFileName;
  logFileGiven = false;
  overrideModelCheck = false;
  logPackageMask = 0;
  extendedUsage = true;
  helpRequested = false;
  json = false;
}

int _release_params(Parameters*) { return 0; }
