#include "ReportChannel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

int g_fd = -1;
std::string g_firstError;

bool isPipe(int fd) {
  struct stat info {};
  return fcntl(fd, F_GETFD) != -1 && fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode);
}

}  // namespace

bool ReportChannel::OpenFromEnvironment() {
  const char* named = getenv(kEnvironmentName);
  if (named == nullptr) return false;
  char* end = nullptr;
  const long fd = strtol(named, &end, 10);
  const bool usable = end != named && *end == '\0' && fd > 2 && fd < 1024 && isPipe(static_cast<int>(fd));
  unsetenv(kEnvironmentName);
  if (!usable) return false;
  g_fd = static_cast<int>(fd);
  (void)fcntl(g_fd, F_SETFD, FD_CLOEXEC);
  return true;
}

bool ReportChannel::Active() { return g_fd >= 0; }

void ReportChannel::Send(const char* key, const std::string& value) {
  if (g_fd < 0) return;
  std::string record = std::string(key) + " " + value;
  for (char& c : record) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  record += '\n';
  // The process is the pipe's only writer: a record longer than the pipe takes at once is written
  // in pieces that nothing comes between.
  size_t done = 0;
  while (done < record.size()) {
    const ssize_t written = write(g_fd, record.data() + done, record.size() - done);
    if (written < 0 && errno == EINTR) continue;
    // A starter that went away leaves nobody to tell: the run itself goes on.
    if (written <= 0) break;
    done += static_cast<size_t>(written);
  }
}

void ReportChannel::Progress(double fraction) {
  char value[32];
  snprintf(value, sizeof value, "%.3f", fraction);
  Send("progress", value);
}

void ReportChannel::Spinner(const char* label) { Send("spinner", label != nullptr ? label : ""); }

void ReportChannel::Idle() { Send("idle", ""); }

void ReportChannel::NoteError(const char* text) {
  if (g_fd >= 0 && g_firstError.empty() && text != nullptr) g_firstError = text;
}

const std::string& ReportChannel::FirstError() { return g_firstError; }
