// Directory routines: ensure, build path, list, home directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "aDirectory.h"

namespace {

class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/directory_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + root_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }
  static bool isDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }
  static unsigned permissions(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
  }
  void touch(const std::string& path) {
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("12345", f);
    fclose(f);
  }
  std::string root_;
};

TEST_F(DirectoryTest, EnsureCreatesEveryLevelWithMode) {
  mode_t saved = umask(022);
  std::string deep = root_ + "/x/y/z";
  EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
  umask(saved);
  EXPECT_TRUE(isDirectory(root_ + "/x"));
  EXPECT_TRUE(isDirectory(root_ + "/x/y"));
  EXPECT_TRUE(isDirectory(deep));
  EXPECT_EQ(permissions(root_ + "/x"), 0755u);
  EXPECT_EQ(permissions(deep), 0755u);
  EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);  // already there
}

TEST_F(DirectoryTest, EnsureSkipsEmptyComponents) {
  std::string doubled = "/" + root_ + "//a///b/";
  EXPECT_EQ(aDirectory_Ensure(doubled.c_str(), 0755), aErrNone);
  EXPECT_TRUE(isDirectory(root_ + "/a/b"));
}

TEST_F(DirectoryTest, EnsureRelativePath) {
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(root_.c_str()), 0);
  aErr result = aDirectory_Ensure("rel/one", 0700);
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_EQ(result, aErrNone);
  EXPECT_TRUE(isDirectory(root_ + "/rel/one"));
}

TEST_F(DirectoryTest, EnsureThroughAFileFails) {
  touch(root_ + "/file");
  EXPECT_EQ(aDirectory_Ensure((root_ + "/file").c_str(), 0755), aErrPermission);
  EXPECT_EQ(aDirectory_Ensure((root_ + "/file/below").c_str(), 0755), aErrPermission);
  EXPECT_FALSE(isDirectory(root_ + "/file/below"));
}

// Runs aDirectory_Ensure as an unprivileged user (a child process when we are root, since root may
// write anywhere) and returns its result.
int ensureUnprivileged(const std::string& path) {
  if (geteuid() != 0) return aDirectory_Ensure(path.c_str(), 0755);
  pid_t child = fork();
  if (child == 0) {
    if (setgid(54321) != 0 || setuid(54321) != 0) _exit(100);
    _exit(aDirectory_Ensure(path.c_str(), 0755));
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(DirectoryTest, EnsureStopsAtTheFirstFailingLevel) {
  ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root_ + "/locked").c_str(), 0555), 0);
  EXPECT_EQ(ensureUnprivileged(root_ + "/locked/a/b"), aErrPermission);
  EXPECT_FALSE(isDirectory(root_ + "/locked/a"));
}

TEST_F(DirectoryTest, EnsureRefusesNothing) {
  EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
  EXPECT_EQ(aDirectory_Ensure("", 0755), aErrParam);
}

TEST(DirectoryExists, Cases) {
  EXPECT_TRUE(aDirectory_Exists("/tmp"));
  EXPECT_FALSE(aDirectory_Exists("/proc/self/status"));
  EXPECT_FALSE(aDirectory_Exists("/no/such/directory/here"));
  EXPECT_FALSE(aDirectory_Exists(nullptr));
}

struct JoinCase {
  std::vector<const char*> parts;  // up to 11, padded with nullptr when calling
  aErr result;
  const char* joined;
};

aErr buildPath(char* buffer, size_t size, const std::vector<const char*>& parts) {
  const char* p[12] = {};
  for (size_t i = 0; i < parts.size() && i < 11; ++i) p[i] = parts[i];
  return aDirectory_BuildPath(buffer, size, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10],
                              static_cast<const char*>(nullptr));
}

TEST(DirectoryBuildPath, JoiningRules) {
  const JoinCase cases[] = {
      {{"a/", "b"}, aErrNone, "a/b"},
      {{"a", "/b"}, aErrNone, "a/b"},
      {{"a", "b"}, aErrNone, "a/b"},
      {{"a/", "/b"}, aErrNone, "a//b"},
      {{"a"}, aErrNone, "a"},
      {{"/", "x"}, aErrNone, "/x"},
      {{"", "b"}, aErrNone, "/b"},
      {{"a", "", "b"}, aErrNone, "a/b"},
      {{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}, aErrNone, "1/2/3/4/5/6/7/8/9/10"},
      {{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"}, aErrParam, ""},
      {{}, aErrNone, ""},
  };
  for (const JoinCase& c : cases) {
    char buffer[64];
    memset(buffer, 'Q', sizeof buffer);
    EXPECT_EQ(buildPath(buffer, sizeof buffer, c.parts), c.result) << c.joined;
    EXPECT_STREQ(buffer, c.joined);
  }
}

TEST(DirectoryBuildPath, SizeLimits) {
  char buffer[8];
  memset(buffer, 'Q', sizeof buffer);
  EXPECT_EQ(aDirectory_BuildPath(buffer, 6, "abc", "d", nullptr), aErrNone);  // "abc/d" and its zero
  EXPECT_STREQ(buffer, "abc/d");
  memset(buffer, 'Q', sizeof buffer);
  EXPECT_EQ(aDirectory_BuildPath(buffer, 5, "abc", "d", nullptr), aErrOverrun);
  EXPECT_EQ(buffer[5], 'Q') << "written past the size";
  EXPECT_EQ(aDirectory_BuildPath(nullptr, 8, "a", nullptr), aErrParam);
  strcpy(buffer, "a");
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, buffer, "b", nullptr), aErrParam);
  char joined[16];
  EXPECT_EQ(aDirectory_JoinPath(joined, sizeof joined, "dir", "name"), aErrNone);
  EXPECT_STREQ(joined, "dir/name");
}

struct Listing {
  std::set<std::string> names;
  std::vector<aDirectoryListData> seen;
  std::string sizedName;
  uint32_t size = 0;
  int directories = 0;
  int stopAfter = -1;
};

bool collect(const aDirectoryListData* entry, void* userData) {
  Listing* listing = static_cast<Listing*>(userData);
  std::string path = entry->path;
  std::string name = path.substr(path.rfind('/') + 1);
  listing->names.insert(name);
  if (name == "five") listing->size = entry->size;
  if (entry->isDirectory) ++listing->directories;
  if (listing->stopAfter > 0 && static_cast<int>(listing->names.size()) >= listing->stopAfter) return false;
  return true;
}

TEST_F(DirectoryTest, ListGivesEveryEntryWithFullPath) {
  touch(root_ + "/five");
  ASSERT_EQ(mkdir((root_ + "/sub").c_str(), 0755), 0);
  Listing listing;
  EXPECT_EQ(aDirectory_List(root_.c_str(), collect, &listing), aErrNone);
  EXPECT_EQ(listing.names, (std::set<std::string>{".", "..", "five", "sub"}));
  EXPECT_EQ(listing.size, 5u);
  EXPECT_EQ(listing.directories, 3);
}

TEST_F(DirectoryTest, ListStopsWhenCallbackSaysSo) {
  touch(root_ + "/a");
  touch(root_ + "/b");
  Listing listing;
  listing.stopAfter = 2;
  EXPECT_EQ(aDirectory_List(root_.c_str(), collect, &listing), aErrNone);
  EXPECT_EQ(listing.names.size(), 2u);
}

TEST_F(DirectoryTest, ListMissingDirectory) {
  Listing listing;
  EXPECT_EQ(aDirectory_List((root_ + "/missing").c_str(), collect, &listing), aErrNotFound);
}

TEST(HomeDirectory, FromPasswordDatabaseOrHome) {
  char buffer[2048];
  ASSERT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof buffer), aErrNone);
  EXPECT_EQ(buffer[0], '/');
  char tiny[1];
  EXPECT_EQ(aDirectory_GetHomeDirectory(tiny, sizeof tiny), aErrOverrun);
  EXPECT_EQ(tiny[0], '\0');
  EXPECT_EQ(aDirectory_GetHomeDirectory(nullptr, 16), aErrParam);
}

}  // namespace
