#include "store/KeyValueStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Log.h"
#include "aFile.h"
#include "store/AtomicFile.h"
#include "store/StoreLock.h"

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
  if (name != nullptr) (void)Load(name);  // a file that cannot be read shows in IsReadable()
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

namespace {

// A settings file larger than this is not one of ours; it is refused as unreadable.
constexpr off_t kMaxFileSize = 16 * 1024 * 1024;

enum class ReadOutcome { Read, Missing, Unreadable };

// The whole file. A FIFO, device or directory is refused at once (never a blocking open), and so
// is a link as the file or as its folder.
ReadOutcome ReadFileText(const std::string& name, std::string* text, int* error) {
  text->clear();
  int fd = aFile_OpenNoLinks(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY, 0);
  if (fd < 0) {
    *error = errno;
    return errno == ENOENT ? ReadOutcome::Missing : ReadOutcome::Unreadable;
  }
  struct stat info;
  ReadOutcome outcome = ReadOutcome::Read;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxFileSize) {
    *error = EINVAL;
    outcome = ReadOutcome::Unreadable;
  }
  char buffer[8192];
  while (outcome == ReadOutcome::Read) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 || text->size() + static_cast<size_t>(got) > static_cast<size_t>(kMaxFileSize)) {
      *error = got < 0 ? errno : EFBIG;
      outcome = ReadOutcome::Unreadable;
      break;
    }
    text->append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return outcome;
}

// Every entry of a settings text; lines of any length.
std::map<std::string, std::string> ParseText(const std::string& text) {
  std::map<std::string, std::string> entries;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string line = text.substr(start, end - start);
    std::string key;
    std::string value;
    if (KeyValueStore::ParseLine(line.c_str(), &key, &value)) entries[key] = value;
    start = end;
  }
  return entries;
}

}  // namespace

bool KeyValueStore::ReadEntries(const char* name, std::map<std::string, std::string>* entries, int* error) {
  std::string text;
  *error = 0;
  if (name == nullptr || ReadFileText(name, &text, error) != ReadOutcome::Read) return false;
  *entries = ParseText(text);
  return true;
}

bool KeyValueStore::Load(const char* name) {
  if (name == nullptr) return false;
  std::string text;
  int error = 0;
  ReadOutcome outcome = ReadFileText(name, &text, &error);
  if (outcome == ReadOutcome::Missing) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", name, error);
    unreadable = false;
    loadedFrom = name;
    Add(KEY_CREATED_TIME, CurrentTimeText());
    (void)Save(name);  // a failure is kept in saveProblem for the caller's next Save
    filename = name;
    modified = false;
    return true;
  }
  filename = name;
  if (outcome == ReadOutcome::Unreadable) {
    // Its entries are unknown: a save would replace them with what this store holds.
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot read attributes file: '%s' (%d)\n", name, error);
    unreadable = true;
    return false;
  }
  unreadable = false;
  loadedFrom = name;
  modified = false;
  changed.clear();
  cleared = false;
  for (auto& entry : ParseText(text)) entries[entry.first] = std::move(entry.second);
  return true;
}

std::string KeyValueStore::Serialise(const std::map<std::string, std::string>& entries) {
  std::string text;
  for (const auto& entry : entries) {
    text += entry.first;
    text += '=';
    text += entry.second;
    text += '\n';
  }
  return text;
}

std::map<std::string, std::string> KeyValueStore::MergedOver(const std::map<std::string, std::string>& onDisk) const {
  if (cleared) return entries;
  std::map<std::string, std::string> merged = onDisk;
  for (const auto& entry : entries) {
    // Keys set here win; keys this store only read keep what another run may have written since.
    if (changed.count(entry.first) != 0 || merged.count(entry.first) == 0) merged[entry.first] = entry.second;
  }
  return merged;
}

bool KeyValueStore::Save(const char* name) {
  if (name != nullptr) {
    if (filename != name) unreadable = false;
    filename = name;
  } else if (filename.empty()) {
    filename = DEFAULT_FILENAME;
    Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
             filename.c_str());
  }
  saveProblem = nullptr;
  if (unreadable) return SaveFailed("it could not be read, so it is left as it is", 0);

  StoreLock lock(filename);
  switch (lock.acquire(LOCK_WAIT_MS)) {
    case StoreLock::Outcome::Busy: return SaveFailed("another run held its lock too long", EWOULDBLOCK);
    case StoreLock::Outcome::NotRegular: return SaveFailed("its lock file is not a regular file", EINVAL);
    case StoreLock::Outcome::Locked: break;
  }
  std::string text;
  int error = 0;
  ReadOutcome outcome = ReadFileText(filename, &text, &error);
  if (outcome == ReadOutcome::Unreadable) return SaveFailed("it could not be read, so it is left as it is", error);

  if (modified) Add(KEY_UPDATED_TIME, CurrentTimeText());
  // Only the file this store was loaded from holds keys it should keep; any other is replaced.
  std::map<std::string, std::string> merged =
      outcome == ReadOutcome::Read && filename == loadedFrom ? MergedOver(ParseText(text)) : entries;
  const std::string contents = Serialise(merged);
  aErr result = AtomicFile_Write(filename.c_str(), contents.data(), contents.size(), &error);
  if (result == aErrNotFound || result == aErrParam) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             filename.c_str(), error);
    saveProblem = "it could not be created";
    return false;
  }
  if (result != aErrNone) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n",
             filename.c_str(), error);
    saveProblem = "it could not be written";
    return false;
  }
  entries = std::move(merged);
  modified = false;
  changed.clear();
  cleared = false;
  return true;
}

bool KeyValueStore::SaveFailed(const char* problem, int error) {
  Log::log(DEBUG_Attributes, "Attibutes: Error - not saving attributes file '%s': %s (%d)\n", filename.c_str(),
           problem, error);
  saveProblem = problem;
  return false;
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
  const char* name = key != nullptr ? key : "";
  std::string& stored = entries[name];
  if (stored != value) {
    modified = true;
    changed.insert(name);
  }
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
  for (const auto& entry : other.entries) {
    entries[entry.first] = entry.second;
    changed.insert(entry.first);
  }
  if (!other.entries.empty()) modified = true;
  return true;
}

bool KeyValueStore::Clear() {
  entries.clear();
  changed.clear();
  cleared = true;
  modified = true;
  return true;
}
