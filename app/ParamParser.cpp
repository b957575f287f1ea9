#include "ParamParser.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Log.h"
#include "Options.h"
#include "aDirectory.h"
#include "support/NumberText.h"
#include "support/PrintableText.h"

namespace {

constexpr const char* kHexDigits = "0123456789ABCDEFabcdef";
constexpr const char* kDecimalDigits = "0123456789";
constexpr uint32_t kMostDevicesAtOnce = 64;

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// Converts text when it is made only of the given digits and fits in 32 bits.
uint32_t convertDigits(const char* text, char** end, const char* digits, unsigned base) {
  if (end == nullptr || text == nullptr) return 0;
  if (text[strspn(text, digits)] != '\0') return 0;
  uint64_t value = 0;
  const char* at = text;
  for (; *at != '\0'; ++at) {
    value = value * base + static_cast<unsigned>(digitValue(*at));
    // A number wider than 32 bits names no device, build or rate; cutting it would pick another.
    if (value > UINT32_MAX) return 0;
  }
  *end = const_cast<char*>(at);
  return static_cast<uint32_t>(value);
}

std::string programNameOf(const char* path) {
  if (path == nullptr) return std::string();
  const char* name = path;
  for (const char* at = path; *at != '\0'; ++at) {
    if (*at == '/' || *at == '\\') name = at + 1;
  }
  return name;
}

bool hasHexPrefix(const char* text) { return text[0] == '0' && (text[1] == 'x' || text[1] == 'X'); }

// The parse of one command line: the record, where messages go, and whether anything failed.
class ParamParse {
 public:
  ParamParse(UpdaterDisplayInterface& display, Parameters* params) : display_(display), params_(*params) {}

  bool failed() const { return failed_; }
  bool misunderstood() const { return misunderstood_; }

  // -j counts devices run side by side: it means something only to -U and -G over devices named
  // with -d; on any other command line it is refused like an option not understood.
  void refuseMeaninglessOptions() {
    const bool severalDevices = params_.commands.IsSet(CMD_UPDATE | CMD_GET_BUILD) &&
                                (params_.allDevices || !params_.deviceSerials.empty());
    if (!devicesAtOnceGiven_ || severalDevices) return;
    display_.message(UpdaterDisplayInterface::ERROR, "Option [-j] is taken by -U and -G with -d only");
    misunderstood_ = true;
  }

  // Names an option the parser could not take (unknown, ambiguous, without its argument, or
  // with one it does not take).
  void rejected(int error, const char* text) {
    misunderstood_ = true;
    switch (error) {
      case kOptionUnknown:
        display_.message(UpdaterDisplayInterface::ERROR, "Unknown option: [%s]", text);
        break;
      case kOptionAmbiguous:
        display_.message(UpdaterDisplayInterface::ERROR, "Ambiguous option: [%s]", text);
        break;
      case kOptionUnexpectedArg:
        display_.message(UpdaterDisplayInterface::ERROR, "Option [%s] takes no argument", text);
        break;
      default:
        display_.message(UpdaterDisplayInterface::ERROR, "Option [%s] requires an argument", text);
        break;
    }
  }

  void command(const char* text) {
    switch (text[1]) {
      case 'B': params_.commands.Set(CMD_LIST_BUILDS); break;
      case 'D': params_.commands.Set(CMD_DISCOVER); break;
      case 'G': params_.commands.Set(CMD_GET_BUILD); break;
      case 'I': params_.commands.Set(CMD_INFO); break;
      case 'U': params_.commands.Set(CMD_UPDATE); break;
      case 'N': params_.commands.Set(CMD_FINGERPRINT); break;
      case 'C': params_.commands.Set(CMD_CHECK); break;
      case 'O':
        if (strncmp(text, "-OVERRID", 8) == 0) params_.overrideModelCheck = true;
        break;
      default:
        display_.message(UpdaterDisplayInterface::ERROR, "Unhandled command: [%s]", text);
        failed_ = true;
        break;
    }
  }

  void parameter(const char* text, const char* arg) {
    switch (text[1]) {
      case 'X': logMask(text, arg); break;
      case 'd': devices(arg); break;
      case 'j':
        devicesAtOnceGiven_ = true;
        params_.devicesAtOnce = devicesAtOnce(arg);
        break;
      case 'r': params_.routerSerialNumber = serial(arg, "router serial number"); break;
      case 't': transport(arg); break;
      case 'b': build(arg); break;
      case 'o': params_.baudRate = decimal(arg); break;
      case 's': params_.serialPort = arg; break;
      case 'f': params_.birdFile = arg; break;
      case 'l': params_.historyMessage = arg; break;
      case 'k':
        params_.logFileName = arg;
        params_.logFileGiven = true;
        break;
      case 'u': params_.serverUrl = arg; break;
      case 'e': params_.echoBytes = true; break;
      case 'n': params_.flagN = true; break;
      case 'Z': params_.commands.Set(CMD_Z); break;
      default: break;
    }
  }

 private:
  void logMask(const char* text, const char* arg) {
    char* end = nullptr;
    uint32_t mask = static_cast<uint32_t>(strtoull(arg, &end, hasHexPrefix(arg) ? 16 : 10));
    params_.extendedUsage = true;
    if (end != nullptr && *end != '\0') {
      display_.message(UpdaterDisplayInterface::ERROR,
                       "Invalid format for \"%s\" parameter, unprocessed characters [%s]", text, end);
      return;
    }
    params_.logPackageMask = mask;
    Log::ActivatePackage(mask);
  }

  // what: "serial number" or "router serial number".
  uint32_t serial(const char* arg, const char* what) {
    const char* digits = arg;
    if (hasHexPrefix(arg)) {
      Log::log(DEBUG_Updater, "Discarding '0x' %s prefix\n", what);
      digits = arg + 2;
    }
    char* end = nullptr;
    uint32_t value = _get_hex_arg(digits, &end);
    if (value == 0) {
      display_.message(UpdaterDisplayInterface::ERROR, "Invalid %s obtained from argument [%s]", what, digits);
      failed_ = true;
    }
    return value;
  }

  // -d SERIAL, -d SERIAL,SERIAL,... (repeatable) or -d all. Each device is kept once, in the order
  // named; the first is the device of the single-device commands.
  void devices(const char* arg) {
    if (strcmp(arg, "all") == 0) {
      params_.allDevices = true;
      return;
    }
    const std::string list(arg);
    size_t start = 0;
    for (;;) {
      const size_t comma = list.find(',', start);
      const std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      addDevice(serial(item.c_str(), "serial number"));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }

  void addDevice(uint32_t serialNumber) {
    if (serialNumber == 0) return;
    std::vector<uint32_t>& named = params_.deviceSerials;
    if (std::find(named.begin(), named.end(), serialNumber) != named.end()) return;
    named.push_back(serialNumber);
    params_.serialNumber = named.front();
  }

  uint32_t devicesAtOnce(const char* arg) {
    if (arg[0] == '-') {
      display_.message(UpdaterDisplayInterface::ERROR,
                       "Invalid number of devices at a time obtained from argument [%s]: the count must be a "
                       "positive number, 1 to %u",
                       arg, kMostDevicesAtOnce);
      failed_ = true;
      return 0;
    }
    char* end = nullptr;
    const uint32_t count = _get_int_arg(arg, &end);
    if (count == 0 || count > kMostDevicesAtOnce) {
      display_.message(UpdaterDisplayInterface::ERROR,
                       "Invalid number of devices at a time obtained from argument [%s]: 1 to %u", arg,
                       kMostDevicesAtOnce);
      failed_ = true;
      return 0;
    }
    return count;
  }

  // Only a plain decimal build number is taken: anything else would install another build.
  void build(const char* arg) {
    uint32_t number = 0;
    if (!ParseBuildNumber(arg, &number)) {
      display_.message(UpdaterDisplayInterface::ERROR, "Invalid build number obtained from argument [%s]", arg);
      failed_ = true;
      return;
    }
    params_.build = std::to_string(number);
  }

  static uint32_t decimal(const char* arg) {
    char* end = nullptr;
    return _get_int_arg(arg, &end);
  }

  void transport(const char* arg) {
    params_.transportGiven = true;
    if (strncmp(arg, "USB", 3) == 0) {
      params_.transport = linkTypeUSB;
    } else if (strncmp(arg, "TCP", 3) == 0) {
      params_.transport = linkTypeTCPIP;
    } else if (strncmp(arg, "RECOVER", 7) == 0) {
      params_.transport = linkTypeRecover;
    } else {
      params_.transport = linkTypeAny;
      display_.message(UpdaterDisplayInterface::ERROR,
                       "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER", arg);
      failed_ = true;
    }
  }

  UpdaterDisplayInterface& display_;
  Parameters& params_;
  bool failed_ = false;
  bool misunderstood_ = false;
  bool devicesAtOnceGiven_ = false;
};

// Only regular files: the hint is for a bird file named without its -f.
bool namesFile(const char* word) {
  struct stat info;
  return stat(word, &info) == 0 && S_ISREG(info.st_mode);
}

// Names every word that is no option and no option's value. False when there is one.
bool reportStrayWords(UpdaterDisplayInterface& display, const CSimpleOptTempl<char>& options) {
  for (int i = 0; i < options.NonOptionCount(); ++i) {
    const std::string word = PrintableText(options.NonOption(i));
    if (namesFile(options.NonOption(i))) {
      display.message(UpdaterDisplayInterface::ERROR, "Unexpected word on the command line: [%s]; did you mean -f?",
                      word.c_str());
    } else {
      display.message(UpdaterDisplayInterface::ERROR, "Unexpected word on the command line: [%s]", word.c_str());
    }
  }
  return options.NonOptionCount() == 0;
}

void logArguments(const Parameters& params, int argc, char** argv) {
  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params.programName.c_str());
  for (int i = 0; i < argc; ++i) Log::log(DEBUG_APP, "\t[%s]\n", argv[i] ? argv[i] : "");
}

}  // namespace

uint32_t _get_hex_arg(const char* text, char** end) { return convertDigits(text, end, kHexDigits, 16); }

uint32_t _get_int_arg(const char* text, char** end) { return convertDigits(text, end, kDecimalDigits, 10); }

int _validate_params(Parameters*) { return 0; }

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params) {
  if (params == nullptr) return 1;
  params->SetDefaults();
  params->programName = programNameOf(argc > 0 && argv != nullptr ? argv[0] : nullptr);
  if (aDirectory_GetHomeDirectory(params->homeDirectory, sizeof params->homeDirectory) != aErrNone) {
    params->homeDirectory[0] = '\0';
  }
  Log::log(DEBUG_APP, "Home directory:[%s]\n", params->homeDirectory);

  ParamParse parse(display, params);
  CSimpleOptTempl<char> options(argv != nullptr ? argc : 0, argv, g_rgOptions, 0);
  while (options.Next()) {
    if (options.LastError() != kOptionOk) {
      parse.rejected(options.LastError(), options.OptionText());
      continue;
    }
    switch (options.OptionId()) {
      case OPT_HELP:
        params->commands.Set(CMD_HELP);
        params->helpRequested = true;
        return 0;
      case OPT_COMMAND: parse.command(options.OptionText()); break;
      case OPT_PARAMETER: parse.parameter(options.OptionText(), options.OptionArg()); break;
      case OPT_JSON: params->json = true; break;
      default: break;
    }
  }
  logArguments(*params, argv != nullptr ? argc : 0, argv);
  if (parse.failed()) return 1;
  parse.refuseMeaninglessOptions();
  // A command line that was not understood whole is not acted on: it may have meant another file,
  // build or device than the one the rest of it names. Without a command there is nothing to do
  // and the usage is shown as for any such line.
  if (params->commands.IsSet(CMD_ANY)) {
    const bool wordsUnderstood = reportStrayWords(display, options);
    if (!wordsUnderstood || parse.misunderstood()) return 1;
  }
  return _validate_params(params);
}
