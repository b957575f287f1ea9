#include "SeveralDevices.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "AppInfo.h"
#include "DeviceOutcome.h"
#include "JsonReport.h"
#include "ReportChannel.h"
#include "aTime.h"
#include "server/UpdateServerRequest.h"
#include "support/InterruptGuard.h"
#include "support/NumberText.h"

extern char** environ;

namespace {

using Display = UpdaterDisplayInterface;

constexpr unsigned kDefaultDevicesAtOnce = 4;
constexpr int kReportFd = 3;
constexpr int kPollMs = 100;
constexpr uint64_t kRedrawMs = 100;

// ---- the command line of one device's process ----------------------------------------------------

bool isOption(const char* arg, const char* name) { return strcmp(arg, name) == 0; }

bool isOptionWithValue(const char* arg, const char* name) {
  const size_t length = strlen(name);
  return strncmp(arg, name, length) == 0 && arg[length] == '=';
}

// --json or an abbreviation of it: a device's process tells its record through its channel.
bool isJsonOption(const char* arg) {
  const size_t length = strlen(arg);
  return length >= 3 && strncmp(arg, "--json", length) == 0;
}

// The command line without its devices (-d), without -j and without --json: what every device's
// process shares.
std::vector<std::string> sharedArguments(int argc, char** argv) {
  std::vector<std::string> shared;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (isOption(arg, "-d") || isOption(arg, "-j")) {
      if (i + 1 < argc && argv[i + 1][0] != '-') ++i;
      continue;
    }
    if (isOptionWithValue(arg, "-d") || isOptionWithValue(arg, "-j") || isJsonOption(arg)) continue;
    shared.emplace_back(arg);
  }
  return shared;
}

// ---- one device -----------------------------------------------------------------------------------

// A partial line kept until its end arrives, from one of a process's three pipes.
struct Pipe {
  int fd = -1;
  std::string pending;
};

struct DeviceJob {
  uint32_t serial = 0;
  std::string build;  // -b for its process; empty: as the shared command line says
  bool pending = true;   // its process is still to be started
  bool started = false;  // its process ran (the table names what the run did for the others)
  pid_t pid = -1;
  Pipe out, err, report;
  bool firstLineSeen = false;
  uint64_t startMs = 0;
  uint64_t endMs = 0;
  // Its record: as planned, then as its process reported it, completed when the process ended.
  DeviceRecord record;
  bool recordReceived = false;
  std::string reportedCause;  // the first error line of a process that sent no record
  // What its line of the progress area shows.
  enum class Showing { Line, Bar, Spinner } showing = Showing::Line;
  double fraction = 0;
  std::string label;
  std::string lastLine;

  bool running() const { return pid > 0; }
  bool pipesOpen() const { return out.fd >= 0 || err.fd >= 0 || report.fd >= 0; }
};

std::string serialText(uint32_t serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

// ---- signals: the run ends its devices' processes and still shows its table -----------------------

volatile sig_atomic_t g_signal = 0;
volatile sig_atomic_t g_signalCount = 0;  // every one is passed on: a second one ends the devices at once

void noteSignal(int number) {
  g_signal = number;
  g_signalCount = g_signalCount + 1;
}

class SignalNote {
 public:
  SignalNote() {
    // One that came while the run was planned (and the guard of --json held it) ends it too.
    if (InterruptGuard::Requested()) noteSignal(InterruptGuard::Signal());
    struct sigaction action {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < kCount; ++i) sigaction(kSignals[i], &action, &previous_[i]);
  }
  ~SignalNote() {
    for (size_t i = 0; i < kCount; ++i) sigaction(kSignals[i], &previous_[i], nullptr);
  }
  SignalNote(const SignalNote&) = delete;
  SignalNote& operator=(const SignalNote&) = delete;

 private:
  static constexpr size_t kCount = 3;
  static constexpr int kSignals[kCount] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction previous_[kCount] {};
};

// ---- the progress area: one line per running device, on a terminal only ---------------------------

class ProgressArea {
 public:
  ProgressArea() : enabled_(isatty(STDOUT_FILENO) == 1) {}

  void erase() {
    if (!enabled_ || drawn_ == 0) return;
    char text[32];
    snprintf(text, sizeof text, "\x1b[%dF\x1b[J", drawn_);
    write(text);
    drawn_ = 0;
  }

  void draw(const std::vector<std::unique_ptr<DeviceJob>>& jobs, bool force) {
    if (!enabled_) return;
    const uint64_t now = aTime_GetMSTicks();
    if (!force && now - lastDraw_ < kRedrawMs) return;
    erase();
    lastDraw_ = now;
    const size_t width = columns() - 1;
    for (const auto& job : jobs) {
      if (!job->running()) continue;
      std::string line = serialText(job->serial) + " " + describe(*job);
      if (line.size() > width) line.resize(width);
      write(line + "\n");
      ++drawn_;
    }
  }

 private:
  static std::string describe(const DeviceJob& job) {
    switch (job.showing) {
      case DeviceJob::Showing::Bar:
        return bar(job.fraction);
      case DeviceJob::Showing::Spinner:
        return "(" + job.label + ") ...";
      default:
        return job.lastLine;
    }
  }

  static std::string bar(double fraction) {
    constexpr size_t kWidth = 40;
    if (!(fraction >= 0.0)) fraction = 0.0;
    if (fraction > 1.0) fraction = 1.0;
    const size_t filled = static_cast<size_t>(kWidth * fraction);
    char percent[16];
    snprintf(percent, sizeof percent, "] %3d%%", static_cast<int>(100 * fraction));
    return "[" + std::string(filled, '=') + ">" + std::string(kWidth - filled, ' ') + percent;
  }

  static size_t columns() {
    struct winsize size {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20) return size.ws_col;
    return 80;
  }

  static void write(const std::string& text) { fwrite(text.data(), 1, text.size(), stdout); }

  bool enabled_;
  int drawn_ = 0;
  uint64_t lastDraw_ = 0;
};

// ---- the run --------------------------------------------------------------------------------------

class SeveralDevicesRun {
 public:
  SeveralDevicesRun(Display& display, const Parameters& params, Updater& updater, int argc, char** argv)
      : display_(display), params_(params), updater_(updater), shared_(sharedArguments(argc, argv)),
        program_(argc > 0 ? argv[0] : kAppName) {}

  int run() {
    if (!acceptable()) return 1;
    const int status = runDevices();
    if (JsonOutput::Active()) {
      for (const auto& job : jobs_) JsonOutput::Report().AddDevice(DeviceRecord_ToJson(job->record));
    }
    return status;
  }

 private:
  int runDevices() {
    if (params_.allDevices) {
      if (!planEveryModule()) return 1;
    } else {
      for (uint32_t serial : params_.deviceSerials) addJob(serial);
    }
    if (toRun() == 0 && failedBeforeStart() == 0) {
      // A fleet job whose modules are all unplugged has failed, not succeeded.
      if (jobs_.empty()) return error("Nothing to do: no module found");
      display_.message(Display::INFO, "Nothing to do: all %zu modules found run the chosen build", jobs_.size());
      return 0;
    }
    if (toRun() > 0) {
      announce();
      runJobs();
    }
    showTable();
    return finalStatus();
  }

  bool updating() const { return params_.commands.IsSet(CMD_UPDATE); }

  void info(const char* text) { display_.message(Display::INFO, "%s", text); }
  // A command line this run does not take: no device is concerned.
  int error(const char* text) {
    display_.message(Display::ERROR, "%s", text);
    JsonOutput::Report().SetError(UpdateOutcome::Step::Command, text);
    return 1;
  }

  // Only -U and -G take several devices, each on its own link.
  bool acceptable() {
    const uint32_t others = CMD_DISCOVER | CMD_LIST_BUILDS | CMD_INFO | CMD_CHECK | CMD_FINGERPRINT;
    if (params_.commands.IsSet(others)) {
      return !error("Several devices (-d) are taken by -U and -G only; run the other commands for one device");
    }
    if (!params_.commands.IsSet(CMD_UPDATE | CMD_GET_BUILD)) {
      return !error("Several devices (-d) are taken by -U and -G only");
    }
    if (params_.transport == linkTypeRecover && updating()) {
      return !error("-t RECOVER recovers one device at a time: name one device with -d");
    }
    if (params_.allDevices && !updating()) return !error("-d all is taken by -U only");
    if (params_.allDevices && !params_.birdFile.empty()) {
      return !error("-d all takes the build from -b or from the update server, not from -f");
    }
    if (params_.allDevices && !params_.deviceSerials.empty()) {
      return !error("-d all names every module found: name no other device with it");
    }
    return true;
  }

  DeviceJob& addJob(uint32_t serial) {
    jobs_.push_back(std::make_unique<DeviceJob>());
    DeviceJob& job = *jobs_.back();
    job.serial = serial;
    job.record.serial = serial;
    job.record.state = UpdateOutcome::DeviceState::Unchanged;
    if (!params_.build.empty()) job.record.buildWanted = static_cast<uint32_t>(strtoul(params_.build.c_str(), nullptr, 10));
    if (!params_.birdFile.empty()) job.record.file = params_.birdFile;
    return job;
  }

  // A device whose process is not run: its record says why.
  static void notRun(DeviceJob& job, DeviceRecord::Result result, UpdateOutcome::Step step, const std::string& cause) {
    job.pending = false;
    job.record.result = result;
    job.record.step = step;
    job.record.cause = cause;
  }

  // -d all: every module discovery finds that does not run the chosen build already (with -b that
  // build, else the device's latest on the update server).
  bool planEveryModule() {
    const linkType transport =
        params_.transportGiven && params_.transport != linkTypeRecover ? params_.transport : linkTypeAny;
    std::vector<DeviceInfo> found;
    if (params_.routerSerialNumber != 0) {
      display_.message(Display::INFO, "Searching for Halyard Network devices connected to %08X",
                       params_.routerSerialNumber);
      found = updater_.Discover_HyNetwork_Devices(params_.routerSerialNumber, transport);
    } else {
      info("Searching for Halyard devices");
      found = updater_.Discover_Devices(transport);
    }
    for (const DeviceInfo& record : found) {
      const uint32_t serial = record.spec.serialNumber;
      if (serial == 0 || findJob(serial) != nullptr) continue;
      DeviceJob& job = addJob(serial);
      if (!record.modelName.empty()) job.record.model = record.modelName;
      if (record.error == aErrNone && record.buildNumber != 0) job.record.buildBefore = record.buildNumber;
      std::string cause;
      const uint32_t wanted = chosenBuild(serial, &cause);
      if (wanted == 0) {
        notRun(job, DeviceRecord::Result::Failed, UpdateOutcome::Step::Server, cause);
        continue;
      }
      job.build = std::to_string(wanted);
      job.record.buildWanted = wanted;
      if (record.error == aErrNone && record.buildNumber == wanted) {
        notRun(job, DeviceRecord::Result::Current, UpdateOutcome::Step::None, std::string());
        job.record.state = UpdateOutcome::DeviceState::Running;
        job.record.buildAfter = job.record.buildBefore;
      }
    }
    return true;
  }

  uint32_t chosenBuild(uint32_t serial, std::string* cause) {
    if (!params_.build.empty()) return static_cast<uint32_t>(strtoul(params_.build.c_str(), nullptr, 10));
    std::string latest, firmware, why;
    uint32_t build = 0;
    if (UpdateServerRequest::QueryBuild(serial, latest, firmware, params_.serverUrl.c_str(), &why) &&
        ReadServerBuildNumber(latest, &build) && build != 0) {
      return build;
    }
    *cause = "the update server named no latest build" + (why.empty() ? std::string() : ": " + why);
    return 0;
  }

  DeviceJob* findJob(uint32_t serial) {
    for (auto& job : jobs_) {
      if (job->serial == serial) return job.get();
    }
    return nullptr;
  }

  size_t toRun() const {
    return static_cast<size_t>(std::count_if(jobs_.begin(), jobs_.end(), [](const auto& job) { return job->pending; }));
  }

  size_t failedBeforeStart() const {
    return static_cast<size_t>(std::count_if(jobs_.begin(), jobs_.end(), [](const auto& job) {
      return !job->pending && job->record.result == DeviceRecord::Result::Failed;
    }));
  }

  unsigned atOnce() const {
    // Modules behind one router share its link and its module bus: one after another.
    if (params_.routerSerialNumber != 0) return 1;
    return params_.devicesAtOnce != 0 ? params_.devicesAtOnce : kDefaultDevicesAtOnce;
  }

  void announce() {
    const char* what = updating() ? "Updating" : "Downloading builds for";
    display_.message(Display::INFO, "%s %zu device%s, %u at a time", what, toRun(), toRun() == 1 ? "" : "s",
                     std::min<unsigned>(atOnce(), static_cast<unsigned>(toRun())));
    if (params_.routerSerialNumber != 0) {
      display_.message(Display::INFO, "Devices behind router %08X are handled one after another",
                       params_.routerSerialNumber);
    }
  }

  // ---- processes ----

  void runJobs() {
    SignalNote signals;
    std::deque<DeviceJob*> waiting;
    for (auto& job : jobs_) {
      if (job->pending) waiting.push_back(job.get());
    }
    size_t running = 0;
    sig_atomic_t forwarded = 0;
    while (!waiting.empty() || running > 0) {
      if (forwarded != g_signalCount) {
        forwarded = g_signalCount;
        for (auto& job : jobs_) {
          if (job->running()) kill(job->pid, g_signal);
        }
      }
      while (g_signal == 0 && !waiting.empty() && running < atOnce()) {
        DeviceJob& job = *waiting.front();
        waiting.pop_front();
        if (start(job)) ++running;
        area_.draw(jobs_, true);
      }
      if (g_signal != 0) {
        for (DeviceJob* job : waiting) {
          notRun(*job, DeviceRecord::Result::NotRun, UpdateOutcome::Step::Start,
                 std::string("not started: the run was ended by ") + strsignal(g_signal));
        }
        waiting.clear();
      }
      if (running == 0) continue;
      pollOnce();
      for (auto& job : jobs_) {
        if (job->running() && !job->pipesOpen()) {
          finish(*job);
          --running;
        }
      }
      area_.draw(jobs_, false);
    }
    area_.erase();
  }

  static bool makePipe(int ends[2]) {
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    // Above the descriptors the child puts them on, so that none is overwritten before it is moved.
    for (int i = 0; i < 2; ++i) {
      const int moved = fcntl(ends[i], F_DUPFD_CLOEXEC, 10);
      close(ends[i]);
      ends[i] = moved;
    }
    if (ends[0] >= 0 && ends[1] >= 0) return true;
    if (ends[0] >= 0) close(ends[0]);
    if (ends[1] >= 0) close(ends[1]);
    return false;
  }

  bool start(DeviceJob& job) {
    std::vector<std::string> args{program_};
    args.insert(args.end(), shared_.begin(), shared_.end());
    args.push_back("-d");
    args.push_back(serialText(job.serial));
    if (!job.build.empty()) {
      args.push_back("-b");
      args.push_back(job.build);
    }
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    std::string channel = std::string(ReportChannel::kEnvironmentName) + "=" + std::to_string(kReportFd);
    std::vector<char*> envp;
    const size_t nameLength = strlen(ReportChannel::kEnvironmentName);
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
      if (strncmp(*entry, ReportChannel::kEnvironmentName, nameLength) == 0 && (*entry)[nameLength] == '=') continue;
      envp.push_back(*entry);
    }
    envp.push_back(&channel[0]);
    envp.push_back(nullptr);

    int out[2], err[2], report[2];
    bool piped = makePipe(out);
    piped = piped && makePipe(err);
    piped = piped && makePipe(report);
    job.startMs = aTime_GetMSTicks();
    // The device's process starts with the ending signals held back: one passed on before the
    // guard of its command is in place waits for it rather than end the process unrecorded.
    sigset_t ending, before;
    sigemptyset(&ending);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&ending, number);
    sigprocmask(SIG_BLOCK, &ending, &before);
    pid_t pid = piped ? fork() : -1;
    if (pid != 0) sigprocmask(SIG_SETMASK, &before, nullptr);
    if (pid == 0) {
      // Between fork and exec only calls that are safe there. A device's process outlives a run
      // that ends early (killed, or its output closed) rather than die mid-transfer on a write to
      // a pipe nobody reads: SIGPIPE stays ignored across exec.
      struct sigaction ignore {};
      ignore.sa_handler = SIG_IGN;
      sigaction(SIGPIPE, &ignore, nullptr);
      // Its own process group: a signal from the terminal reaches the run alone, which passes it
      // on once, and the device's process ends its command and tells what it left.
      (void)setpgid(0, 0);
      if (dup2(out[1], STDOUT_FILENO) < 0 || dup2(err[1], STDERR_FILENO) < 0 || dup2(report[1], kReportFd) < 0) {
        _exit(127);
      }
      execve("/proc/self/exe", argv.data(), envp.data());
      _exit(127);
    }
    for (int* ends : {out, err, report}) {
      if (piped && ends[1] >= 0) close(ends[1]);
    }
    if (pid < 0) {
      for (int* ends : {out, err, report}) {
        if (piped && ends[0] >= 0) close(ends[0]);
      }
      notRun(job, DeviceRecord::Result::Failed, UpdateOutcome::Step::Start,
             std::string("could not start its process: ") + strerror(errno));
      job.endMs = aTime_GetMSTicks();
      return false;
    }
    job.pending = false;
    job.started = true;
    job.pid = pid;
    job.out.fd = out[0];
    job.err.fd = err[0];
    job.report.fd = report[0];
    return true;
  }

  void pollOnce() {
    std::vector<pollfd> fds;
    std::vector<std::pair<DeviceJob*, Pipe*>> owners;
    for (auto& job : jobs_) {
      for (Pipe* pipe : {&job->out, &job->err, &job->report}) {
        if (pipe->fd < 0) continue;
        fds.push_back({pipe->fd, POLLIN, 0});
        owners.emplace_back(job.get(), pipe);
      }
    }
    if (fds.empty()) return;
    if (poll(fds.data(), fds.size(), kPollMs) <= 0) return;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents != 0) drain(*owners[i].first, *owners[i].second);
    }
  }

  // Reads what the pipe holds; whole lines are handled, the rest kept. At its end the last piece
  // counts as a line.
  void drain(DeviceJob& job, Pipe& pipe) {
    char buffer[4096];
    const ssize_t got = read(pipe.fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) return;
    if (got > 0) {
      pipe.pending.append(buffer, static_cast<size_t>(got));
      size_t end;
      while ((end = pipe.pending.find('\n')) != std::string::npos) {
        const std::string line = pipe.pending.substr(0, end);
        pipe.pending.erase(0, end + 1);
        handleLine(job, pipe, line);
      }
      return;
    }
    if (!pipe.pending.empty()) handleLine(job, pipe, pipe.pending);
    pipe.pending.clear();
    close(pipe.fd);
    pipe.fd = -1;
  }

  void handleLine(DeviceJob& job, Pipe& pipe, const std::string& line) {
    if (&pipe == &job.report) return handleReport(job, line);
    if (&pipe == &job.out) {
      // Every process starts with the version line this run has shown already.
      const bool first = !job.firstLineSeen;
      job.firstLineSeen = true;
      if (first && line == versionLine()) return;
      job.lastLine = line;
    }
    area_.erase();
    display_.message(&pipe == &job.err ? Display::ERROR : Display::INFO, "%08X: %s", job.serial, line.c_str());
    area_.draw(jobs_, true);
  }

  static std::string versionLine() { return std::string(kAppName) + " (" + kAppVersion + ")"; }

  void handleReport(DeviceJob& job, const std::string& line) {
    const size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (key == "progress") {
      const bool starts = job.showing != DeviceJob::Showing::Bar;
      job.showing = DeviceJob::Showing::Bar;
      job.fraction = strtod(value.c_str(), nullptr);
      // A bar is shown at least once, however fast the transfer.
      if (starts) area_.draw(jobs_, true);
    } else if (key == "spinner") {
      job.showing = DeviceJob::Showing::Spinner;
      job.label = value;
    } else if (key == "idle") {
      job.showing = DeviceJob::Showing::Line;
    } else if (key == "record") {
      takeRecord(job, value);
    } else if (key == "cause") {
      if (job.reportedCause.empty()) job.reportedCause = value;  // the first told is the most precise
    }
  }

  // The record a device's process sent; one that does not read is shown as such, and the device
  // keeps what was known of it.
  void takeRecord(DeviceJob& job, const std::string& text) {
    DeviceRecord record;
    std::string why;
    if (!ReadDeviceRecordDocument(text, &record, &why) || record.serial != job.serial) {
      if (why.empty()) why = "it names device " + serialText(record.serial);
      area_.erase();
      display_.message(Display::ERROR, "%08X: its record was not understood: %s", job.serial, why.c_str());
      area_.draw(jobs_, true);
      return;
    }
    job.record = record;
    job.recordReceived = true;
  }

  void finish(DeviceJob& job) {
    int status = 0;
    pid_t ended;
    do {
      ended = waitpid(job.pid, &status, 0);
    } while (ended < 0 && errno == EINTR);
    job.endMs = aTime_GetMSTicks();
    job.pid = -1;
    DeviceRecord& record = job.record;
    record.seconds = static_cast<double>(job.endMs - job.startMs) / 1000.0;
    if (ended > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      if (!job.recordReceived) record.result = updating() ? DeviceRecord::Result::Updated : DeviceRecord::Result::Downloaded;
      return;
    }
    // What its process told stands; the run adds only what it alone saw.
    if (job.recordReceived) {
      if (record.succeeded()) ranBadly(record, status, ended);
      record.result = DeviceRecord::Result::Failed;
      return;
    }
    record.result = DeviceRecord::Result::Failed;
    if (ended > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 127 && !job.firstLineSeen) {
      job.started = false;
      record.step = UpdateOutcome::Step::Start;
      record.cause = "could not start its process";
      return;
    }
    ranBadly(record, status, ended);
    // Without a record nothing tells what the update did to the device; a download writes nothing.
    record.state = updating() ? UpdateOutcome::DeviceState::Unknown : UpdateOutcome::DeviceState::Unchanged;
    if (!WIFSIGNALED(status) && !job.reportedCause.empty()) record.cause = job.reportedCause;
  }

  // A process that ended badly: by a signal, or with a failure its record did not tell.
  static void ranBadly(DeviceRecord& record, int status, pid_t ended) {
    record.step = UpdateOutcome::Step::Process;
    if (ended > 0 && WIFSIGNALED(status)) {
      record.cause = std::string("ended by signal ") + strsignal(WTERMSIG(status));
    } else {
      record.cause = "failed; see its lines above";
    }
  }

  // ---- the table ----

  static const char* resultWord(const DeviceRecord& record) {
    switch (record.result) {
      case DeviceRecord::Result::Current: return "current";
      case DeviceRecord::Result::Updated: return "updated";
      case DeviceRecord::Result::Downloaded: return "downloaded";
      case DeviceRecord::Result::NotRun: return "not run";
      case DeviceRecord::Result::Failed: break;
    }
    return "FAILED";
  }

  static std::string buildText(const std::optional<uint32_t>& build) { return build ? std::to_string(*build) : "-"; }

  // The run's own words for a device whose process did not run; its process's record otherwise.
  static std::string stateText(const DeviceJob& job) {
    if (!job.started && job.record.result != DeviceRecord::Result::Current) return "not updated";
    return DeviceRecord_TableState(job.record);
  }

  static std::string causeText(const DeviceJob& job) {
    return job.started ? DeviceRecord_TableCause(job.record) : job.record.cause;
  }

  static std::string timeText(const DeviceJob& job) {
    if (job.startMs == 0 || job.endMs < job.startMs) return "-";
    char text[32];
    snprintf(text, sizeof text, "%.1f s", static_cast<double>(job.endMs - job.startMs) / 1000.0);
    return text;
  }

  void showTable() {
    info("");
    info("Summary:");
    size_t stateWidth = 5;
    for (const auto& job : jobs_) stateWidth = std::max(stateWidth, stateText(*job).size());
    if (updating()) {
      info((row("Device", "Before", "After", "Result", "Time") + "  " + padded("State", stateWidth) + "  Cause").c_str());
    } else {
      info((row("Device", "Build", "", "Result", "Time") + "  Cause").c_str());
    }
    for (const auto& job : jobs_) {
      const DeviceRecord& record = job->record;
      const std::string downloaded =
          record.result == DeviceRecord::Result::Downloaded ? buildText(record.buildWanted) : "-";
      std::string line = updating() ? row(serialText(job->serial), buildText(record.buildBefore),
                                          buildText(record.buildAfter), resultWord(record), timeText(*job)) +
                                          "  " + padded(stateText(*job), stateWidth)
                                    : row(serialText(job->serial), downloaded, "", resultWord(record), timeText(*job));
      if (!record.succeeded()) line += "  " + causeText(*job);
      trimRight(line);
      info(line.c_str());
    }
  }

  std::string row(const std::string& device, const std::string& first, const std::string& second,
                  const std::string& result, const std::string& time) const {
    std::string line = "    " + padded(device, 8) + "  " + padded(first, 10) + "  ";
    if (updating()) line += padded(second, 10) + "  ";
    const std::string shownTime = std::string(time.size() < 8 ? 8 - time.size() : 0, ' ') + time;
    return line + padded(result, 10) + shownTime;
  }

  static std::string padded(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
  }

  static void trimRight(std::string& text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
  }

  // 128 plus the signal's number when a signal ended the run, as for one device.
  int finalStatus() {
    std::string failed;
    size_t count = 0;
    for (const auto& job : jobs_) {
      if (job->record.succeeded()) continue;
      failed += (count++ == 0 ? "" : ", ") + serialText(job->serial);
    }
    if (count != 0) {
      display_.message(Display::ERROR, "%zu of %zu devices failed: %s", count, jobs_.size(), failed.c_str());
    }
    if (g_signal != 0) return 128 + g_signal;
    return count == 0 ? 0 : 1;
  }

  Display& display_;
  const Parameters& params_;
  Updater& updater_;
  std::vector<std::string> shared_;
  std::string program_;
  std::vector<std::unique_ptr<DeviceJob>> jobs_;
  ProgressArea area_;
};

}  // namespace

int RunSeveralDevices(UpdaterDisplayInterface& display, const Parameters& params, Updater& updater, int argc,
                      char** argv) {
  return SeveralDevicesRun(display, params, updater, argc, argv).run();
}
