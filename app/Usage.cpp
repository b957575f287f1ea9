#include "Usage.h"

#include <cstdio>

#include "AppInfo.h"
#include "aVersion.h"

namespace {

// One entry of a usage table: the option or sample and its description lines.
struct UsageEntry {
  const char* entry;
  const char* lines[6];  // ended by a null pointer
  bool blankAfter;
};

constexpr int kEntryIndent = 5;
constexpr int kEntryWidth = 25;  // "- " lands in columns 31-32, the description starts in column 33
constexpr int kSampleWidth = 31;
constexpr int kContinuationIndent = 32;

std::string spaces(int count) { return std::string(static_cast<size_t>(count), ' '); }

std::string padded(const char* text, int width) {
  std::string line(text);
  if (static_cast<int>(line.size()) < width) line += spaces(width - static_cast<int>(line.size()));
  return line;
}

std::string title(const char* text) { return spaces(2) + text + "\n"; }

void appendContinuation(std::string& out, const char* line) {
  out += spaces(kContinuationIndent) + line + "\n";
}

void appendOption(std::string& out, const UsageEntry& entry) {
  out += spaces(kEntryIndent) + padded(entry.entry, kEntryWidth) + "- " + entry.lines[0] + "\n";
  for (int i = 1; entry.lines[i] != nullptr; ++i) appendContinuation(out, entry.lines[i]);
  if (entry.blankAfter) out += "\n";
}

void appendSample(std::string& out, const UsageEntry& entry) {
  out += padded(entry.entry, kSampleWidth) + " " + entry.lines[0] + "\n";
  for (int i = 1; entry.lines[i] != nullptr; ++i) appendContinuation(out, entry.lines[i]);
  if (entry.blankAfter) out += "\n";
}

std::string shortBlock() {
  std::string text = "\nApplication Usage:\n";
  text += kAppName;
  text +=
      " <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
      "    [-d serial_num]\n"
      "    [-t transport] [-r router_serial]\n"
      "    [-s serial_port] [-o baud_rate]\n"
      "\n"
      "  Halyard Update and Maintenance Application\n"
      "    -H -h or --help for full usage information.\n"
      "\n";
  return text;
}

const UsageEntry kParameters[] = {
    {"-b <build number>", {"Build version of the firmware to transfer.", "[Default: latest version available].", nullptr}, false},
    {"-d <device>",
     {"Device serial number of the device to access.", "Several for -U and -G: -d A,B or -d A -d B;",
      "every module found for -U: -d all.", nullptr},
     false},
    {"-t <transport type>", {"communications method [USB,TCP,RECOVER].", nullptr}, false},
    {"-r <router serial>", {"indirect connection through router device", nullptr}, false},
    {"-s <serial port>", {"name of serial port to use for recovery", nullptr}, false},
    {"-o <baud rate>", {"baud rate for serial port (2400, 4800, 9600,", "19200, 38400, 57600, 115200, 230400)", nullptr}, false},
};

const UsageEntry kCommands[] = {
    {"-B", {"list the Builds available for given device.", nullptr}, true},
    {"-D", {"Discover devices that are currently connected.", nullptr}, true},
    {"-G",
     {"Get build file from the Tessaron server and", "store on local machine for download to device.",
      "Must specify a specific device [\"-d\" option].", "Default is to obtain the latest build for the",
      "given device, override with \"-b\" option.", nullptr},
     true},
    {"-U",
     {"Update the firmware on device specified.", "Must specify a specific device [\"-d\" option].",
      "Default is to download the latest build for the", "given device, override with \"-b\" option or",
      "specify specific BIRD file using \"-f\" option.", nullptr},
     false},
    {"-H or -h", {"Display extended usage information.", nullptr}, true},
};

std::string commandBlock() {
  std::string text = title("Parameters to commands:");
  for (const UsageEntry& entry : kParameters) appendOption(text, entry);
  text += title("Commands:");
  for (const UsageEntry& entry : kCommands) appendOption(text, entry);
  return text;
}

// Log packages as the -X help lists them, in groups.
struct PackageLine {
  const char* name;
  unsigned mask;
};

const PackageLine kPackageGroups[][6] = {
    {{"DEBUG_Updater", 0x1}, {"DEBUG_History", 0x2}, {"DEBUG_Attributes", 0x4}, {"DEBUG_BirdFile", 0x8},
     {"DEBUG_Network", 0x10}, {"DEBUG_ServerComm", 0x20}},
    {{"DEBUG_Network", 0x100}, {"DEBUG_Network_SR", 0x200}, {"DEBUG_Network_FIRM", 0x400}},
    {{"DEBUG_NXPSerial", 0x1000}, {"DEBUG_NXPSerial_E", 0x2000}, {"DEBUG_NXPSerial_SR", 0x4000}},
    {{"DEBUG_APP", 0x10000}},
    {{"DEBUG_iMXSerial", 0x10000000}},
};

void appendPackages(std::string& out) {
  bool firstGroup = true;
  for (const auto& group : kPackageGroups) {
    if (!firstGroup) out += "\n";
    firstGroup = false;
    for (const PackageLine& package : group) {
      if (package.name == nullptr) break;
      char line[64];
      snprintf(line, sizeof line, "%-20s0x%08X", package.name, package.mask);
      appendContinuation(out, line);
    }
  }
}

std::string extendedBlock() {
  const std::string serverDefault = std::string("Default: ") + kDefaultServerHost;
  const UsageEntry parameters[] = {
      {"-f <bird file>", {"Firmware file to be transferred to device.", nullptr}, false},
      {"-e", {"echoing of bytes enabled during recovery.", nullptr}, true},
      {"-l 'log message'", {"message to place in device history log", nullptr}, false},
      {"-k <filename>", {"log messages written into given filename", "Default:[APP.log]", nullptr}, false},
      {"-u <host:port>", {"The hostname and port of the update server", serverDefault.c_str(), nullptr}, false},
      {"-j <count>", {"Devices updated side by side when -d names", "several [Default: 4].", nullptr}, false},
      {"--json", {"One JSON document on standard output, every", "other line on standard error.", nullptr}, false},
  };
  const UsageEntry commands[] = {
      {"-I",
       {"View stored device information.", "Must either use DISCOVER command [\"-D\"] or",
        "specify a specific device [\"-d\" option].", nullptr},
       true},
      {"-OVERRIDE",
       {"Override the model checks for BIRD firmware files.", "This option should only be used when authorized by",
        "Tessaron development engineers.", nullptr},
       true},
      {"-N", {"Get fingerprint from a device, requires -s", nullptr}, true},
  };
  std::string text = title("Extended Parameters:");
  for (const UsageEntry& entry : parameters) appendOption(text, entry);
  text += title("Extended Commands:");
  for (const UsageEntry& entry : commands) appendOption(text, entry);
  appendOption(text, {"-X <BIT_MASK>", {"Bitmask for Logging", nullptr}, false});
  appendPackages(text);
  text += "\n";
  appendOption(text, {"-C", {"Check the given BIRDFILE", nullptr}, true});
  return text;
}

const UsageEntry kSamples[] = {
    {"-D", {"Discover all devices connected by either USB or TCPIP.", "Records the device information into the settings for that device.", nullptr}, false},
    {"-D -t USB", {"Discover all the devices connected by USB. Records the", "device information into the settings for that device.", nullptr}, false},
    {"-D -t USB -d 0F5849A", {"Discover settings of the specific device (serial number 0x40F5849A)", nullptr}, false},
    {"-G -d 40F5849A", {"Get the latest firmware for the given device.", "Downloads the firmware file into the updater specific device directory.", nullptr}, false},
    {"-U -d 40F5849A",
     {"Update the firmware on the specific device.", "Without other options, this command will try to locate",
      "the latest firmware version to be used for updating the device.", nullptr},
     false},
    {"-G -d 40F5849A -b 99528558",
     {"Get the specified build's firmware for the given device.", "Downloads the firmware file into the updater's specific",
      "device directory with the build number as the filename.", nullptr},
     false},
    {"-G -U -d 40F5849A",
     {"Get the latest firmware for the given device.", "Downloads the firmware file into the updater specific",
      "device directory. After download, update the firmware", "using the latest release.", nullptr},
     false},
    {"-U -d 0F5849A1,D272031D",
     {"Update several devices side by side; each line is prefixed", "with the device's serial number, and one table ends the run.",
      nullptr},
     false},
    {"-U -d all", {"Update every module found that does not run the latest build.", nullptr}, false},
    {"-U -t RECOVER -s /dev/serial",
     {"Update the firmware as described above, but uses the serial interface",
      "in communicating with the device to install the latest firmware.", nullptr},
     false},
};

std::string sampleBlock() {
  std::string text = title("Sample usage:");
  for (const UsageEntry& entry : kSamples) appendSample(text, entry);
  text += " Sample usage for network discovery and updates:\n";
  appendSample(text, {"-D -r D272031D",
                      {"Discover all devices connected to the I2C Halyard network",
                       "of the given routing device D272031D.", nullptr},
                      false});
  return text;
}

}  // namespace

void _display_app_version(UpdaterDisplayInterface& display) {
  display.message(UpdaterDisplayInterface::INFO, "%s (%s)", kAppName, kAppVersion);
}

void _display_hy_version(UpdaterDisplayInterface& display) {
  display.message(UpdaterDisplayInterface::INFO, "[Halyard Release: %d.%d.%d]", static_cast<int>(aVersion_GetMajor()),
                  static_cast<int>(aVersion_GetMinor()), static_cast<int>(aVersion_GetPatch()));
}

void _display_copyright(UpdaterDisplayInterface& display) {
  display.message(UpdaterDisplayInterface::INFO, "(%s)", kCopyrightNotice);
}

std::string UsageText(bool extended, bool full) {
  std::string text = shortBlock();
  if (full) text += commandBlock();
  if (full && extended) text += extendedBlock();
  if (full) text += sampleBlock();
  return text;
}

void _display_usage(bool extended, bool full) {
  std::string text = UsageText(extended, full);
  fwrite(text.data(), 1, text.size(), stderr);
}
