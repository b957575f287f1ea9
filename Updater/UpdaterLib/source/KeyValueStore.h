#pragma once
#include <cstdint>
#include <map>
#include <string>

// A small persistent dictionary kept as "key=value" lines, sorted by key. Remembers whether it
// changed since it was last loaded or saved and stamps its file with creation and update times.
class KeyValueStore {
 public:
  static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
  static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";
  static constexpr const char* DEFAULT_FILENAME = ".settings";
  static constexpr size_t LINE_BUFFER_SIZE = 2048;

  explicit KeyValueStore(const char* filename = nullptr);
  KeyValueStore(const KeyValueStore&) = default;
  KeyValueStore& operator=(const KeyValueStore&) = default;

  // Reads the file into the store; a missing file is created holding its creation time.
  void Load(const char* filename);
  // Writes the whole store to filename (or the file last loaded or saved). The file is replaced
  // as a whole, so a failed save leaves the previous file untouched; failures are only logged.
  void Save(const char* filename = nullptr);

  std::string GetString(const char* key, const char* defaultValue);
  int GetInt(const char* key, int defaultValue);
  uint32_t GetHex(const char* key, uint32_t defaultValue);
  bool GetBOOL(const char* key, bool defaultValue);
  double GetDouble(const char* key, double defaultValue);
  // The stored value, or null when the key is missing; valid until the entry changes.
  const char* operator[](const char* key) const;

  bool Add(const char* key, const char* value);
  bool Add(const char* key, const std::string& value);
  bool Add(const char* key, int value);
  bool Add(const char* key, double value);
  bool AddHex(const char* key, uint32_t value);
  bool Add(const KeyValueStore& other);
  bool Clear();

  bool IsModified() const { return modified; }
  const std::string& Filename() const { return filename; }
  const std::map<std::string, std::string>& Entries() const { return entries; }

  // The current local time as ctime text without its line feed, e.g. "Sat Dec  5 21:20:24 2026".
  static std::string CurrentTimeText();
  // Splits one line of a settings file; false for a line that holds no entry.
  [[nodiscard]] static bool ParseLine(const char* line, std::string* key, std::string* value);

 private:
  std::string filename;
  std::map<std::string, std::string> entries;
  bool modified = false;

  // The value of a getter's key; creates a missing key with an empty value, leaving modified alone.
  const std::string& ValueForGetter(const char* key);
  std::string Serialise() const;
};
