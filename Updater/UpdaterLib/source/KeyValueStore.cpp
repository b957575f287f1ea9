#include "KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "AtomicFile.h"
#include "Log.h"
#include "aFile.h"

namespace {

bool IsSpace(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// atoi without its undefined overflow: out-of-range numbers are clamped.
int ToInt(const std::string& text) {
  long value = strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::string TrimEnd(const char* begin, const char* end) {
  while (end > begin && IsSpace(end[-1])) --end;
  return std::string(begin, end);
}

}  // namespace

KeyValueStore::KeyValueStore(const char* name) {
  if (name != nullptr) Load(name);
}

std::string KeyValueStore::CurrentTimeText() {
  time_t now = time(nullptr);
  char text[64] = {};
  if (ctime_r(&now, text) == nullptr) return std::string();
  size_t length = strnlen(text, sizeof text);
  if (length > 0 && text[length - 1] == '\n') --length;
  return std::string(text, length);
}

bool KeyValueStore::ParseLine(const char* line, std::string* key, std::string* value) {
  if (line == nullptr || strlen(line) < 3 || line[0] == '#') return false;
  const char* start = line;
  while (*start != '\0' && IsSpace(*start)) ++start;
  const char* equals = strchr(start, '=');
  if (equals == nullptr) return false;
  std::string name = TrimEnd(start, equals);
  if (name.empty()) return false;
  const char* text = equals + 1;
  while (*text != '\0' && IsSpace(*text)) ++text;
  *key = std::move(name);
  *value = TrimEnd(text, text + strlen(text));
  return true;
}

void KeyValueStore::Load(const char* name) {
  if (name == nullptr) return;
  aFileRef file = aFile_Open(name, aFileModeRead);
  if (file == nullptr) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", name, errno);
    Add(KEY_CREATED_TIME, CurrentTimeText());
    Save(name);
    filename = name;
    modified = false;
    return;
  }
  filename = name;
  modified = false;
  char line[LINE_BUFFER_SIZE];
  size_t length = 0;
  while (aFile_ReadLine(file, line, sizeof line, &length) == aErrNone) {
    std::string key;
    std::string value;
    if (ParseLine(line, &key, &value)) entries[key] = value;
  }
  aFile_Close(&file);
}

std::string KeyValueStore::Serialise() const {
  std::string text;
  for (const auto& entry : entries) {
    text += entry.first;
    text += '=';
    text += entry.second;
    text += '\n';
  }
  return text;
}

void KeyValueStore::Save(const char* name) {
  if (name != nullptr) {
    filename = name;
  } else if (filename.empty()) {
    filename = DEFAULT_FILENAME;
    Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
             filename.c_str());
  }
  if (modified) Add(KEY_UPDATED_TIME, CurrentTimeText());
  const std::string text = Serialise();
  int error = 0;
  aErr result = AtomicFile_Write(filename.c_str(), text.data(), text.size(), &error);
  if (result == aErrNotFound || result == aErrParam) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             filename.c_str(), error);
    return;
  }
  if (result != aErrNone) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n",
             filename.c_str(), error);
    return;
  }
  modified = false;
}

const std::string& KeyValueStore::ValueForGetter(const char* key) {
  return entries[key != nullptr ? key : ""];
}

std::string KeyValueStore::GetString(const char* key, const char* defaultValue) {
  auto found = entries.find(key != nullptr ? key : "");
  if (found != entries.end()) return found->second;
  return defaultValue != nullptr ? defaultValue : "";
}

int KeyValueStore::GetInt(const char* key, int defaultValue) {
  const std::string& value = ValueForGetter(key);
  return value.empty() ? defaultValue : ToInt(value);
}

uint32_t KeyValueStore::GetHex(const char* key, uint32_t defaultValue) {
  const std::string& value = ValueForGetter(key);
  return value.empty() ? defaultValue : static_cast<uint32_t>(strtol(value.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const char* key, bool defaultValue) {
  const std::string& value = ValueForGetter(key);
  return value.empty() ? defaultValue : ToInt(value) != 0;
}

double KeyValueStore::GetDouble(const char* key, double defaultValue) {
  const std::string& value = ValueForGetter(key);
  return value.empty() ? defaultValue : atof(value.c_str());
}

const char* KeyValueStore::operator[](const char* key) const {
  auto found = entries.find(key != nullptr ? key : "");
  return found != entries.end() ? found->second.c_str() : nullptr;
}

bool KeyValueStore::Add(const char* key, const std::string& value) {
  std::string& stored = entries[key != nullptr ? key : ""];
  if (stored != value) modified = true;
  stored = value;
  return true;
}

bool KeyValueStore::Add(const char* key, const char* value) {
  return Add(key, std::string(value != nullptr ? value : ""));
}

bool KeyValueStore::Add(const char* key, int value) { return Add(key, std::to_string(value)); }

bool KeyValueStore::Add(const char* key, double value) {
  char text[512];
  snprintf(text, sizeof text, "%f", value);
  return Add(key, std::string(text));
}

bool KeyValueStore::AddHex(const char* key, uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", value);
  return Add(key, std::string(text));
}

bool KeyValueStore::Add(const KeyValueStore& other) {
  for (const auto& entry : other.entries) entries[entry.first] = entry.second;
  if (!other.entries.empty()) modified = true;
  return true;
}

bool KeyValueStore::Clear() {
  entries.clear();
  modified = true;
  return true;
}
