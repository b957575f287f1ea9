#pragma once
// Points a standard stream's descriptor at a temporary file or a pseudo-terminal for the length of
// a scope, then puts it back. Keep test assertions outside the captured scope.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

class FdRedirect {
 public:
  FdRedirect(FILE* stream, int target) : stream_(stream), fd_(fileno(stream)) {
    fflush(stream_);
    saved_ = dup(fd_);
    dup2(target, fd_);
  }
  ~FdRedirect() {
    fflush(stream_);
    dup2(saved_, fd_);
    close(saved_);
  }
  FdRedirect(const FdRedirect&) = delete;
  FdRedirect& operator=(const FdRedirect&) = delete;

 private:
  FILE* stream_;
  int fd_;
  int saved_;
};

// A temporary file to capture into; text() reads back everything written.
class CaptureFile {
 public:
  CaptureFile() : file_(tmpfile()) {}
  ~CaptureFile() {
    if (file_) fclose(file_);
  }
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;
  bool ok() const { return file_ != nullptr; }
  int fd() const { return fileno(file_); }
  std::string text() {
    std::string out;
    char chunk[1024];
    lseek(fd(), 0, SEEK_SET);
    ssize_t count;
    while ((count = read(fd(), chunk, sizeof chunk)) > 0) out.append(chunk, static_cast<size_t>(count));
    return out;
  }

 private:
  FILE* file_;
};

// A pseudo-terminal pair in raw mode: what is written to the slave is read from the master.
class PseudoTerminal {
 public:
  PseudoTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name == nullptr) return;
    slaveName_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY);
    if (slave_ < 0) return;
    struct termios raw;
    if (tcgetattr(slave_, &raw) == 0) {
      cfmakeraw(&raw);
      tcsetattr(slave_, TCSANOW, &raw);
    }
  }
  ~PseudoTerminal() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  bool ok() const { return master_ >= 0 && slave_ >= 0; }
  int master() const { return master_; }
  int slave() const { return slave_; }
  const std::string& slaveName() const { return slaveName_; }

  // Reads from the master until `expected` bytes arrived or 2 seconds passed without any.
  std::string readMaster(size_t expected) {
    std::string out;
    char chunk[1024];
    while (out.size() < expected) {
      struct pollfd waiting = {master_, POLLIN, 0};
      if (poll(&waiting, 1, 2000) <= 0) break;
      ssize_t count = read(master_, chunk, sizeof chunk);
      if (count <= 0) break;
      out.append(chunk, static_cast<size_t>(count));
    }
    return out;
  }

  // Whatever the master can read within a short wait.
  std::string drainMaster() {
    std::string out;
    char chunk[1024];
    for (;;) {
      struct pollfd waiting = {master_, POLLIN, 0};
      if (poll(&waiting, 1, 200) <= 0) break;
      ssize_t count = read(master_, chunk, sizeof chunk);
      if (count <= 0) break;
      out.append(chunk, static_cast<size_t>(count));
    }
    return out;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slaveName_;
};
