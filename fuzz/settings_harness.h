#pragma once
// What the settings-file fuzz target does with one input; shared with the unit test that replays
// the kept regression inputs. Whatever the file holds, the entries read must survive a save and a
// second load unchanged (keys beginning with "#" excepted: written back they read as comments).
// A broken promise aborts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "scratch_file.h"
#include "store/KeyValueStore.h"

namespace fuzz {

inline void SettingsCheck(bool condition) {
  if (!condition) abort();
}

inline std::map<std::string, std::string> WithoutCommentKeys(const std::map<std::string, std::string>& entries) {
  std::map<std::string, std::string> kept;
  for (const auto& entry : entries) {
    if (entry.first[0] != '#') kept.insert(entry);
  }
  return kept;
}

// Reads data as the settings file inputPath, saves it to savedPath and reads that back.
// Returns the number of entries read.
inline size_t RunSettingsInput(const uint8_t* data, size_t size, const std::string& inputPath,
                               const std::string& savedPath) {
  WriteFileOrDie(inputPath, data, size);
  KeyValueStore store(inputPath.c_str());
  SettingsCheck(!store.IsModified());
  for (const auto& entry : store.Entries()) {
    SettingsCheck(!entry.first.empty() && entry.first.find_first_of("=\n") == std::string::npos);
    SettingsCheck(entry.second.find('\n') == std::string::npos);
  }
  const std::map<std::string, std::string> read = store.Entries();

  SettingsCheck(store.Save(savedPath.c_str()));
  SettingsCheck(!store.IsModified());
  KeyValueStore reread(savedPath.c_str());
  SettingsCheck(WithoutCommentKeys(reread.Entries()) == WithoutCommentKeys(read));

  if (!read.empty()) {
    const char* key = read.begin()->first.c_str();
    SettingsCheck(store.GetString(key, nullptr) == read.begin()->second);
    // Run for what they touch: any answer is right for arbitrary input.
    (void)store.GetInt(key, 7);
    (void)store.GetHex(key, 7);
    (void)store.GetBOOL(key, true);
    (void)store.GetDouble(key, 7.0);
  }
  KeyValueStore copy;
  SettingsCheck(copy.Add(store));
  SettingsCheck(copy.Entries() == store.Entries());
  return read.size();
}

}  // namespace fuzz
