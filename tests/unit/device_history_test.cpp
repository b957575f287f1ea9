// The history file of a device: one record per line, added with one write under the device's
// lock, trimmed to its bound, read back with every line whole or named as cut.
#include "store/DeviceHistory.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "store_test_support.h"

namespace {

using store_test::ListNames;
using store_test::ReadText;
using store_test::TempDir;
using store_test::WriteText;

std::vector<std::string> Texts(const HistoryText& history) {
  std::vector<std::string> texts;
  for (const HistoryLine& line : history.lines) texts.push_back(line.text);
  return texts;
}

class DeviceHistoryTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = DeviceHistory_Path(dir.path());
};

// What is in the file before an append, and what the file holds after it.
TEST_F(DeviceHistoryTest, AppendAddsOneLineAfterWhatIsThere) {
  struct Case {
    const char* name;
    const char* before;  // nullptr: no file
    HistoryLimits limits;
    const char* after;
  };
  const HistoryLimits plenty;
  const Case cases[] = {
      {"no file yet", nullptr, plenty, "new\n"},
      {"empty file", "", plenty, "new\n"},
      {"records kept as they are", "a\nb\n", plenty, "a\nb\nnew\n"},
      {"a last line cut by a crash keeps its bytes", "a\n{\"cut", plenty, "a\n{\"cut\nnew\n"},
      {"a line of garbage stays", "a\ngarbage \x01\xff\nb\n", plenty, "a\ngarbage \x01\xff\nb\nnew\n"},
      {"at the record bound the oldest go", "1\n2\n3\n", {3, 1 << 20, 1000}, "2\n3\nnew\n"},
      {"far over the record bound", "1\n2\n3\n4\n5\n", {2, 1 << 20, 1000}, "5\nnew\n"},
      {"at the byte bound the oldest go", "aaaa\nbbbb\n", {1000, 12, 1000}, "bbbb\nnew\n"},
      {"a cut line is trimmed like any", "x\n{\"cut", {2, 1 << 20, 1000}, "{\"cut\nnew\n"},
      {"a file beyond the byte bound keeps whole lines of its end", "aaaa\nbbbb\ncccc\n", {1000, 13, 1000},
       "cccc\nnew\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(path.c_str());
    if (c.before != nullptr) WriteText(path, c.before);
    std::string why;
    EXPECT_TRUE(DeviceHistory_Append(dir.path(), "new", &why, c.limits)) << why;
    EXPECT_EQ(c.after, ReadText(path));
  }
  EXPECT_EQ(std::set<std::string>{".history"}, ListNames(dir.path()));  // no lock or temporary file left
}

// What is read of each file: its lines in order, a cut last line marked as such.
TEST_F(DeviceHistoryTest, ReadGivesEveryLineAndMarksACutOne) {
  struct Case {
    const char* name;
    const char* text;  // nullptr: no file
    size_t readLimit;
    bool present;
    std::vector<std::string> lines;
    bool lastComplete;
  };
  const Case cases[] = {
      {"no file", nullptr, 4096, false, {}, true},
      {"empty file", "", 4096, true, {}, true},
      {"whole lines", "a\nb\n", 4096, true, {"a", "b"}, true},
      {"cut last line", "a\n{\"b", 4096, true, {"a", "{\"b"}, false},
      {"empty line kept in place", "a\n\nb\n", 4096, true, {"a", "", "b"}, true},
      {"beyond the read limit: whole lines of the end", "aaaa\nbbbb\ncc\n", 7, true, {"cc"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(path.c_str());
    if (c.text != nullptr) WriteText(path, c.text);
    HistoryText history;
    std::string why;
    ASSERT_TRUE(DeviceHistory_Read(dir.path(), &history, &why, c.readLimit)) << why;
    EXPECT_EQ(c.present, history.present);
    EXPECT_EQ(c.lines, Texts(history));
    for (size_t i = 0; i < history.lines.size(); ++i) EXPECT_EQ(i + 1, history.lines[i].number);
    if (!history.lines.empty()) {
      EXPECT_EQ(c.lastComplete, history.lines.back().complete);
    }
  }
  EXPECT_EQ(0u, ListNames(dir.path()).count(".settings.lock"));  // reading locks nothing
}

// A history that is a link, a FIFO or a directory is neither followed, nor waited on, nor
// written: the append says why; so does a record holding a line feed.
TEST_F(DeviceHistoryTest, RefusesWhatIsNoRegularFileAndRecordsOfSeveralLines) {
  WriteText(dir / "target", "kept\n");
  struct Case {
    const char* name;
    std::function<void()> make;
    const char* record;
    const char* cause;
  };
  const Case cases[] = {
      {"symbolic link", [&] { ASSERT_EQ(0, symlink((dir / "target").c_str(), path.c_str())); }, "r",
       "it could not be opened: it is a symbolic link"},
      {"FIFO", [&] { ASSERT_EQ(0, mkfifo(path.c_str(), 0644)); }, "r", "it is not a regular file"},
      {"directory", [&] { ASSERT_EQ(0, mkdir(path.c_str(), 0755)); }, "r", "it could not be opened: Is a directory"},
      {"record of two lines", [] {}, "a\nb", "a record must be one line"},
      {"lock file that is a link",
       [&] { ASSERT_EQ(0, symlink((dir / "target").c_str(), (dir / ".settings.lock").c_str())); }, "r",
       "the device's lock file is not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.make();
    std::string why;
    EXPECT_FALSE(DeviceHistory_Append(dir.path(), c.record, &why));
    EXPECT_EQ(c.cause, why);
    EXPECT_EQ("kept\n", ReadText(dir / "target"));
    rmdir(path.c_str());
    unlink(path.c_str());
    unlink((dir / ".settings.lock").c_str());
  }
  HistoryText history;
  std::string why;
  ASSERT_EQ(0, symlink((dir / "target").c_str(), path.c_str()));
  EXPECT_FALSE(DeviceHistory_Read(dir.path(), &history, &why));
  EXPECT_EQ("it could not be opened: it is a symbolic link", why);
}

// A lock another run holds too long ends the append with a reason instead of a hang.
TEST_F(DeviceHistoryTest, LockHeldTooLongFailsTheAppend) {
  const std::string lockPath = dir / ".settings.lock";
  int holder = open(lockPath.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(0, flock(holder, LOCK_EX));
  HistoryLimits limits;
  limits.lockWaitMs = 200;
  std::string why;
  EXPECT_FALSE(DeviceHistory_Append(dir.path(), "r", &why, limits));
  EXPECT_EQ("another run held the device's lock too long", why);
  EXPECT_FALSE(store_test::Exists(path));
  close(holder);
}

// Runs writers processes that each append records lines "<writer>:<n>:<filler>" at once, and
// checks that every line of the history is one whole record, each writer's in its order; returns
// how many records of each writer the history holds.
std::vector<int> AppendAtOnce(const std::string& directory, int writers, int records, const HistoryLimits& limits) {
  const std::string filler(300, 'x');
  std::vector<pid_t> started;
  for (int w = 0; w < writers; ++w) {
    pid_t pid = fork();
    if (pid == 0) {
      for (int r = 0; r < records; ++r) {
        std::string why;
        if (!DeviceHistory_Append(directory, std::to_string(w) + ":" + std::to_string(r) + ":" + filler, &why,
                                  limits)) {
          _exit(1);
        }
      }
      _exit(0);
    }
    EXPECT_GT(pid, 0);
    if (pid > 0) started.push_back(pid);
  }
  for (pid_t pid : started) {
    int status = 0;
    EXPECT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  HistoryText history;
  std::string why;
  EXPECT_TRUE(DeviceHistory_Read(directory, &history, &why)) << why;
  std::vector<int> lastOf(writers, -1);
  std::vector<int> count(writers, 0);
  for (const HistoryLine& line : history.lines) {
    int writer = -1, record = -1;
    char rest[400] = {};
    EXPECT_EQ(3, sscanf(line.text.c_str(), "%d:%d:%399s", &writer, &record, rest)) << line.text;
    EXPECT_EQ(filler, rest);
    if (writer < 0 || writer >= writers) {
      ADD_FAILURE() << line.text;
      continue;
    }
    EXPECT_GT(record, lastOf[writer]);
    lastOf[writer] = record;
    ++count[writer];
  }
  return count;
}

// Processes appending to the same history at once: nothing is lost or interleaved; with a bound
// that they pass, the history holds exactly the bound of whole records.
TEST_F(DeviceHistoryTest, ConcurrentAppendsNeitherLoseNorInterleave) {
  EXPECT_EQ(std::vector<int>(4, 50), AppendAtOnce(dir.path(), 4, 50, HistoryLimits()));
  unlink(path.c_str());
  HistoryLimits bound;
  bound.maxRecords = 150;
  std::vector<int> kept = AppendAtOnce(dir.path(), 4, 50, bound);
  int total = 0;
  for (int count : kept) total += count;
  EXPECT_EQ(150, total);
}

}  // namespace
