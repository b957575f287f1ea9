#pragma once
// Test support for bird files, settings files and the local store: scratch directories, the bird
// file writer sim/mkbird.py run as a child process with a time-out, log capture, and a file-size
// limit that makes writes fail part-way.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Log.h"
#include "log_capture.h"

namespace store_test {

using ::LogCapture;

inline std::string RepoDirectory() {
  const char* fromCTest = getenv("SRC_DIR");
  if (fromCTest != nullptr && fromCTest[0] != '\0') return fromCTest;
  std::string here = __FILE__;  // <repo>/tests/unit/store_test_support.h
  for (int i = 0; i < 3; ++i) here = here.substr(0, here.rfind('/'));
  return here;
}

inline std::string SimDirectory() {
  const char* fromCTest = getenv("SIM_DIR");
  if (fromCTest != nullptr && fromCTest[0] != '\0') return fromCTest;
  return RepoDirectory() + "/sim";
}

// A fresh directory under $TMPDIR (never the home directory), removed with its contents.
class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/store-test-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
      ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    }
    path_ = pattern;
  }
  ~TempDir() {
    nftw(path_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
         FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

inline bool IsDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline void MakeDirectory(const std::string& path) { ASSERT_EQ(0, mkdir(path.c_str(), 0755)) << path; }

// Names in a directory, "." and ".." left out.
inline std::set<std::string> ListNames(const std::string& directory) {
  std::set<std::string> names;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return names;
  for (struct dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.insert(name);
  }
  closedir(dir);
  return names;
}

// Runs a program with a time-out; returns its exit status, or -1 when it had to be stopped.
inline int RunProgram(const std::vector<std::string>& argv, int timeoutSeconds = 120) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    execv(args[0], args.data());
    _exit(127);
  }
  if (pid < 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Writes a bird file with "mkbird.py build -o <path> <args...>"; fails the test when it cannot.
inline std::string MakeBird(const std::string& path, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/python3", SimDirectory() + "/mkbird.py", "build", "-o", path};
  argv.insert(argv.end(), args.begin(), args.end());
  int status = RunProgram(argv);
  EXPECT_EQ(0, status) << "mkbird.py failed for " << path;
  return path;
}

// While alive, no file of this process may grow past limit bytes: a write beyond fails with
// EFBIG part-way (SIGXFSZ is ignored meanwhile), as on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    savedHandler_ = signal(SIGXFSZ, SIG_IGN);
    struct rlimit lowered = saved_;
    lowered.rlim_cur = limit;
    ok_ = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, savedHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool ok() const { return ok_; }

 private:
  struct rlimit saved_;
  void (*savedHandler_)(int);
  bool ok_ = false;
};

// Changes the working directory for one scope.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& path) {
    char buffer[4096];
    if (getcwd(buffer, sizeof buffer) != nullptr) saved_ = buffer;
    ok_ = chdir(path.c_str()) == 0;
  }
  ~WorkingDirectory() {
    if (!saved_.empty()) (void)!chdir(saved_.c_str());
  }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;
  bool ok() const { return ok_; }

 private:
  std::string saved_;
  bool ok_ = false;
};

}  // namespace store_test
