#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>

// A small persistent dictionary kept as "key=value" lines, sorted by key. Remembers whether it
// changed since it was last loaded or saved and stamps its file with creation and update times.
class KeyValueStore {
 public:
  static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
  static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";
  static constexpr const char* DEFAULT_FILENAME = ".settings";

  explicit KeyValueStore(const char* filename = nullptr);
  KeyValueStore(const KeyValueStore&) = default;
  KeyValueStore& operator=(const KeyValueStore&) = default;

  // Longest wait for another run's save of the same file.
  static constexpr unsigned long LOCK_WAIT_MS = 5000;

  // Reads the file into the store; a missing file is created holding its creation time. False
  // when the file exists but cannot be read (not a regular file, no permission, read error): the
  // store then refuses to save over it.
  [[nodiscard]] bool Load(const char* filename);
  // Writes the store to filename (or the file last loaded or saved). The read-modify-write runs
  // under a lock on "<file>.lock", shared by every run on the same file: the file the store was
  // loaded from is read again, the keys set in this store are put over it, and the result
  // replaces it as a whole, so a concurrent run's keys are kept and a failed save leaves the
  // previous file untouched. Any other file is replaced by exactly the store's entries. False
  // (with SaveProblem() saying why) when nothing was written.
  [[nodiscard]] bool Save(const char* filename = nullptr);
  // Why the last Save failed, for the user; null after a successful one.
  const char* SaveProblem() const { return saveProblem; }
  // False when the file was there but could not be read.
  [[nodiscard]] bool IsReadable() const { return !unreadable; }

  std::string GetString(const char* key, const char* defaultValue);
  int GetInt(const char* key, int defaultValue);
  uint32_t GetHex(const char* key, uint32_t defaultValue);
  [[nodiscard]] bool GetBOOL(const char* key, bool defaultValue);
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

  [[nodiscard]] bool IsModified() const { return modified; }
  const std::string& Filename() const { return filename; }
  const std::map<std::string, std::string>& Entries() const { return entries; }

  // The current local time as ctime text without its line feed, e.g. "Sat Dec  5 21:20:24 2026".
  static std::string CurrentTimeText();
  // The entries of a settings file, read as Load reads them but without creating or changing
  // anything; false, with the errno in *error, when it is missing or cannot be read.
  [[nodiscard]] static bool ReadEntries(const char* filename, std::map<std::string, std::string>* entries, int* error);
  // Splits one line of a settings file; false for a line that holds no entry.
  [[nodiscard]] static bool ParseLine(const char* line, std::string* key, std::string* value);

 private:
  std::string filename;
  std::map<std::string, std::string> entries;
  bool modified = false;
  std::string loadedFrom;         // the file whose keys the store was loaded with
  std::set<std::string> changed;  // keys Add set since the last load or save
  bool cleared = false;            // Clear() since the last load or save: the file's keys go too
  bool unreadable = false;         // the file exists but could not be read
  const char* saveProblem = nullptr;

  // The value of a getter's key; creates a missing key with an empty value, leaving modified alone.
  const std::string& ValueForGetter(const char* key);
  static std::string Serialise(const std::map<std::string, std::string>& entries);
  // The entries a save writes over what is on disk now.
  std::map<std::string, std::string> MergedOver(const std::map<std::string, std::string>& onDisk) const;
  [[nodiscard]] bool SaveFailed(const char* problem, int error);
};
