#pragma once
// Runs sim/lpc_rom.py (the simulated LPC17xx boot ROM) on a pseudo-terminal for a test or a
// benchmark: started with posix_spawn, asked through its control socket, stopped by its process
// id. Every wait is bounded.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace lpcsim {

constexpr int kStartTimeoutMs = 10000;
constexpr int kStepTimeoutMs = 5000;

inline std::string simDir() {
  const char* dir = getenv("SIM_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
#ifdef UPDATER_SIM_DIR
  return UPDATER_SIM_DIR;
#else
  return "sim";
#endif
}

// Reads one line (without its newline) from fd within timeoutMs; false on time-out or end.
inline bool readLine(int fd, std::string& line, int timeoutMs) {
  line.clear();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    struct pollfd waiting = {fd, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(left.count())) <= 0) continue;
    char c = 0;
    ssize_t got = read(fd, &c, 1);
    if (got <= 0) return false;
    if (c == '\n') return true;
    line += c;
  }
}

// Waits up to timeoutMs for the child to end; true when it has been reaped.
inline bool reap(pid_t pid, int timeoutMs, int* status = nullptr) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int local = 0;
  do {
    pid_t done = waitpid(pid, status ? status : &local, WNOHANG);
    if (done == pid || done < 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

// Ends a child this process started: SIGTERM, then SIGKILL when it does not go within timeoutMs.
inline void stopChild(pid_t pid, int timeoutMs) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  if (!reap(pid, timeoutMs)) {
    kill(pid, SIGKILL);
    reap(pid, timeoutMs);
  }
}

// The value after "key": in a one-line JSON object of the simulator (numbers and booleans).
inline long long jsonNumber(const std::string& json, const char* key, long long fallback = -1) {
  std::string pattern = std::string("\"") + key + "\": ";
  size_t at = json.find(pattern);
  if (at == std::string::npos) return fallback;
  at += pattern.size();
  if (json.compare(at, 4, "true") == 0) return 1;
  if (json.compare(at, 5, "false") == 0) return 0;
  if (json.compare(at, 4, "null") == 0) return fallback;
  return strtoll(json.c_str() + at, nullptr, 10);
}

// Every string value of "key" in order of appearance.
inline std::vector<std::string> jsonStrings(const std::string& json, const char* key) {
  std::vector<std::string> values;
  std::string pattern = std::string("\"") + key + "\": \"";
  for (size_t at = json.find(pattern); at != std::string::npos; at = json.find(pattern, at)) {
    at += pattern.size();
    size_t end = json.find('"', at);
    if (end == std::string::npos) break;
    values.push_back(json.substr(at, end - at));
    at = end;
  }
  return values;
}

class LpcRomSim {
 public:
  explicit LpcRomSim(const std::vector<std::string>& options = {}) {
    char pattern[] = "/tmp/lpc-rom-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    link_ = dir_ + "/ttyLPC";
    control_ = dir_ + "/lpc.ctl";
    start(options);
  }

  ~LpcRomSim() {
    stop();
    if (!dir_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(dir_, ignored);
    }
  }

  LpcRomSim(const LpcRomSim&) = delete;
  LpcRomSim& operator=(const LpcRomSim&) = delete;

  bool running() const { return pid_ > 0 && ready_; }
  const std::string& port() const { return link_; }
  const std::string& dir() const { return dir_; }
  const std::string& readyLine() const { return readyLine_; }

  // One control request; the reply line (JSON), empty when the simulator did not answer in time.
  std::string control(const std::string& request) const {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "";
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, control_.c_str(), sizeof address.sun_path - 1);
    struct timeval limit = {kStepTimeoutMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::string reply;
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) == 0) {
      std::string line = request + "\n";
      if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
        readLine(fd, reply, kStepTimeoutMs);
      }
    }
    close(fd);
    return reply;
  }

  bool ok(const std::string& request) const { return jsonNumber(control(request), "ok", 0) == 1; }

  std::string status() const { return control("status"); }
  long long status(const char* key) const { return jsonNumber(status(), key); }

  // Command lines the chip has handled, oldest first, and their return codes.
  std::vector<std::string> historyLines() const { return jsonStrings(control("history"), "line"); }

  std::vector<uint8_t> flash() const {
    std::string path = dir_ + "/flash-dump.bin";
    if (!ok("dump " + path)) return {};
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  void stop() {
    if (pid_ > 0) stopChild(pid_, kStepTimeoutMs);
    pid_ = -1;
    if (stdout_ >= 0) close(stdout_);
    stdout_ = -1;
  }

 private:
  void start(const std::vector<std::string>& options) {
    std::vector<std::string> args = {"/usr/bin/python3", simDir() + "/lpc_rom.py", "--link", link_, "--control",
                                     control_};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    stdout_ = out[0];
    if (spawned != 0) return;
    pid_ = pid;
    ready_ = readLine(stdout_, readyLine_, kStartTimeoutMs) && jsonNumber(readyLine_, "ready", 0) == 1;
  }

  std::string dir_;
  std::string link_;
  std::string control_;
  std::string readyLine_;
  pid_t pid_ = -1;
  int stdout_ = -1;
  bool ready_ = false;
};

}  // namespace lpcsim
