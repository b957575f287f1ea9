// Replays the kept fuzz inputs of the bird-file and settings targets through the same harness the
// fuzzers use (a broken promise aborts the test), and checks the outcome where it is known.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "../../fuzz/birdfile_harness.h"
#include "../../fuzz/settings_harness.h"
#include "store_test_support.h"

using store_test::ListNames;
using store_test::ReadText;
using store_test::RepoDirectory;
using store_test::TempDir;

namespace {

std::vector<std::string> RegressionInputs(const std::string& target) {
  std::vector<std::string> paths;
  const std::string directory = RepoDirectory() + "/fuzz/regressions/" + target;
  for (const std::string& name : ListNames(directory)) {
    if (name.size() < 3 || name.compare(name.size() - 3, 3, ".md") != 0) paths.push_back(directory + "/" + name);
  }
  return paths;
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

TEST(StoreFuzzRegressionsTest, BirdFileInputs) {
  // Whether each input must load; inputs not named here only have to run clean.
  const std::map<std::string, bool> loads = {
      {"inflate-bomb-over-64MiB", false},
      {"erased-flash-beyond-8-to-1", true},
      {"zlib-stream-cut-short", false},
      {"block-length-near-4G-runs-past-list", true},
      {"info-block-shorter-than-64", true},
  };
  std::vector<std::string> inputs = RegressionInputs("fuzz_birdfile");
  ASSERT_FALSE(inputs.empty());
  TempDir dir;
  const std::string scratch = dir / "input.bird";
  for (const std::string& path : inputs) {
    SCOPED_TRACE(path);
    std::string bytes = ReadText(path);
    bool loaded = fuzz::RunBirdFileInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), scratch);
    auto expected = loads.find(BaseName(path));
    if (expected != loads.end()) {
      EXPECT_EQ(expected->second, loaded);
    }
  }
}

TEST(StoreFuzzRegressionsTest, SettingsInputs) {
  const std::map<std::string, size_t> entries = {
      {"line-longer-than-read-buffer", 3},
      {"key-of-only-spaces", 0},
      {"hash-key-after-space", 1},
      {"crlf-line-ends", 2},
  };
  std::vector<std::string> inputs = RegressionInputs("fuzz_settings");
  ASSERT_FALSE(inputs.empty());
  TempDir dir;
  for (const std::string& path : inputs) {
    SCOPED_TRACE(path);
    std::string bytes = ReadText(path);
    size_t read = fuzz::RunSettingsInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                         dir / "input", dir / "saved");
    auto expected = entries.find(BaseName(path));
    if (expected != entries.end()) {
      EXPECT_EQ(expected->second, read);
    }
  }
}

}  // namespace
