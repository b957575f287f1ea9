// Whole-file replacement: a file is either the old one or the complete new one, never a mix.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include <cerrno>
#include <set>
#include <string>

#include "store/AtomicFile.h"
#include "store_test_support.h"

using store_test::FileSizeLimit;
using store_test::ListNames;
using store_test::ReadText;
using store_test::TempDir;
using store_test::WriteText;

namespace {

mode_t PermissionBits(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

TEST(AtomicFileTest, CreatesAndReplacesFilesWithoutLeavingTemporaries) {
  TempDir dir;
  std::string path = dir / "file";
  int error = -1;
  EXPECT_EQ(aErrNone, AtomicFile_Write(path.c_str(), "first", 5, &error));
  EXPECT_EQ(0, error);
  EXPECT_EQ("first", ReadText(path));
  EXPECT_EQ(aErrNone, AtomicFile_Write(path.c_str(), "second, longer", 14));
  EXPECT_EQ("second, longer", ReadText(path));
  EXPECT_EQ(aErrNone, AtomicFile_Write(path.c_str(), "", 0));
  EXPECT_EQ("", ReadText(path));
  EXPECT_EQ(std::set<std::string>{"file"}, ListNames(dir.path()));
}

// A link is never followed: one at the path is replaced by the file (what it led to is left as it
// was), one as the folder fails the write.
TEST(AtomicFileTest, LinksAreReplacedOrRefusedNeverFollowed) {
  TempDir dir;
  const std::string target = dir / "target";
  WriteText(target, "kept");
  ASSERT_EQ(0, chmod(target.c_str(), 0604));
  const std::string link = dir / "link";
  ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
  EXPECT_EQ(aErrNone, AtomicFile_Write(link.c_str(), "new", 3));
  EXPECT_EQ("kept", ReadText(target));
  EXPECT_EQ("new", ReadText(link));
  struct stat info;
  ASSERT_EQ(0, lstat(link.c_str(), &info));
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_NE(0604u, info.st_mode & 07777);  // the mode of what the link led to is not taken either

  const std::string linkedFolder = dir / "folder";
  ASSERT_EQ(0, symlink(dir.path().c_str(), linkedFolder.c_str()));
  int error = 0;
  EXPECT_EQ(aErrNotFound, AtomicFile_Write((linkedFolder + "/target").c_str(), "x", 1, &error));
  EXPECT_EQ(ENOTDIR, error);
  EXPECT_EQ("kept", ReadText(target));
}

TEST(AtomicFileTest, ReplacedFileKeepsItsPermissions) {
  TempDir dir;
  std::string path = dir / "file";
  WriteText(path, "old");
  ASSERT_EQ(0, chmod(path.c_str(), 0640));
  EXPECT_EQ(aErrNone, AtomicFile_Write(path.c_str(), "new", 3));
  EXPECT_EQ(0640u, PermissionBits(path));

  std::string fresh = dir / "fresh";
  mode_t mask = umask(022);
  EXPECT_EQ(aErrNone, AtomicFile_Write(fresh.c_str(), "x", 1));
  umask(mask);
  EXPECT_EQ(0644u, PermissionBits(fresh));
}

TEST(AtomicFileTest, RefusesWhatItCannotWrite) {
  TempDir dir;
  WriteText(dir / "plain", "keep");
  ASSERT_EQ(0, mkdir((dir / "directory").c_str(), 0755));
  struct {
    const char* name;
    std::string path;
    const void* data;
    size_t length;
    aErr result;
    int error;
  } cases[] = {
      {"null path", "", "x", 1, aErrParam, EINVAL},
      {"null data", dir / "new", nullptr, 1, aErrParam, EINVAL},
      {"path ending in a slash", dir / "sub/", "x", 1, aErrParam, EISDIR},
      {"missing directory", dir / "missing/file", "x", 1, aErrNotFound, ENOENT},
      {"below a plain file", dir / "plain/file", "x", 1, aErrNotFound, ENOTDIR},
      {"a directory in the way", dir / "directory", "x", 1, aErrIO, EISDIR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int error = 0;
    const char* path = c.path.empty() ? nullptr : c.path.c_str();
    EXPECT_EQ(c.result, AtomicFile_Write(path, c.data, c.length, &error));
    EXPECT_EQ(c.error, error);
  }
  EXPECT_EQ("keep", ReadText(dir / "plain"));
  EXPECT_TRUE(store_test::IsDirectory(dir / "directory"));
  EXPECT_EQ((std::set<std::string>{"directory", "plain"}), ListNames(dir.path()));
}

TEST(AtomicFileTest, WriteFailingPartWayLeavesTheOldFile) {
  TempDir dir;
  std::string path = dir / "file";
  WriteText(path, "the old contents");
  std::string big(100000, 'n');
  int error = 0;
  {
    FileSizeLimit limit(8192);
    ASSERT_TRUE(limit.ok());
    EXPECT_EQ(aErrIO, AtomicFile_Write(path.c_str(), big.data(), big.size(), &error));
  }
  EXPECT_EQ(EFBIG, error);
  EXPECT_EQ("the old contents", ReadText(path));
  EXPECT_EQ(std::set<std::string>{"file"}, ListNames(dir.path()));
}

TEST(AtomicFileTest, RelativePathsStayInTheirDirectory) {
  TempDir dir;
  store_test::WorkingDirectory cwd(dir.path());
  ASSERT_TRUE(cwd.ok());
  EXPECT_EQ(aErrNone, AtomicFile_Write("here", "h", 1));
  EXPECT_EQ("h", ReadText(dir / "here"));
}

// The process id of a process that has ended (forked and reaped).
pid_t EndedProcessId() {
  pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return child;
}

bool HasTemporary(const std::string& directory) {
  for (const std::string& name : ListNames(directory)) {
    if (name.find(".partial.") != std::string::npos) return true;
  }
  return false;
}

TEST(AtomicFileTest, TemporaryOfAKilledRunIsRemovedByTheNextWrite) {
  TempDir dir;
  const std::string abandoned = ".file.partial." + std::to_string(EndedProcessId()) + ".0";
  const std::string ours = ".file.partial." + std::to_string(getpid()) + ".99";
  const std::string alive = ".file.partial.1.0";  // process 1 always lives
  for (const std::string& name : {abandoned, ours, alive, std::string(".file.partial.notes")}) {
    WriteText(dir / name, "x");
  }
  EXPECT_EQ(aErrNone, AtomicFile_Write((dir / "other").c_str(), "o", 1));
  EXPECT_EQ((std::set<std::string>{"other", ours, alive, ".file.partial.notes"}), ListNames(dir.path()));
}

// SIGINT or SIGTERM while a file is being written ends the process and leaves no temporary file.
TEST(AtomicFileTest, SignalDuringAWriteLeavesNoTemporary) {
  for (int signalNumber : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signalNumber);
    TempDir dir;
    std::string path = dir / "file";
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      std::vector<char> big(32u * 1024 * 1024, 'b');
      for (int round = 0; round < 500; ++round) (void)AtomicFile_Write(path.c_str(), big.data(), big.size());
      _exit(0);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!HasTemporary(dir.path()) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    EXPECT_TRUE(HasTemporary(dir.path()));
    kill(writer, signalNumber);
    int status = 0;
    ASSERT_EQ(writer, waitpid(writer, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << status;
    EXPECT_FALSE(HasTemporary(dir.path())) << "left behind after the signal";
  }
}

}  // namespace
