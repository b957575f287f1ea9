// Flash write speed of NXPSerialClass against lpc21isp, both into the simulated LPC17xx boot ROM
// paced at the line rate of the chosen baud (10 bits a character). Prints the two times, their
// ratio and the wire bound: a uuencoded line carries 45 bytes in 63 characters (61 and CR LF).
//
//   nxp_serial_bench [image bytes (default 70000)] [baud (default 115200)]
//
// Our side follows the recovery's LPC flash write: identification (Sync, N) in one session, then
// in a second session unlock, prepare and erase sectors 0-29, echo off, pieces of 4096 bytes
// written to RAM at WRITE_ADDRESS and copied to flash, echo on, G 0. Both results are compared
// with the image in the simulator's flash. Every wait is bounded; the simulators and lpc21isp are
// stopped by their process ids.
//
// Pacing of the data phase. Sleeping the estimated wire time after each line (9 bit times a
// character, plus 1 ms after the line and 1 ms after its CR LF) leaves the line idle between
// lines: on a loaded 2-core machine the client took 10.5-11.9 s for 70000 bytes (0.72-0.81 of
// the wire bound) against lpc21isp's 9.5-14.3 s. Waiting until the port has sent the line
// (tcdrain) instead, with the same bytes in the same order, gave 9.0-9.1 s (0.93-0.95 of the
// wire bound) against lpc21isp's 10.1-10.9 s. On a pty tcdrain returns at once; the simulator's
// pacing then holds the writer back as a wire would.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "LpcRomSim.h"
#include "recovery/lpc/NXPSerialClass.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kToolTimeoutMs = 600000;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<unsigned char> makeImage(size_t size) {
  std::mt19937 generator(0x4C5043);
  std::vector<unsigned char> image(size);
  for (unsigned char& byte : image) byte = static_cast<unsigned char>(generator());
  return image;
}

// lpc21isp makes words 0-7 of the vector table sum to zero by rewriting word 7.
std::vector<unsigned char> withVectorChecksum(std::vector<unsigned char> image) {
  if (image.size() < 32) return image;
  uint32_t total = 0;
  for (int word = 0; word < 7; ++word) {
    uint32_t value = 0;
    for (int b = 3; b >= 0; --b) value = (value << 8) | image[word * 4 + b];
    total += value;
  }
  uint32_t patch = 0u - total;
  for (int b = 0; b < 4; ++b) image[28 + b] = static_cast<unsigned char>(patch >> (8 * b));
  return image;
}

bool flashHolds(const lpcsim::LpcRomSim& sim, const std::vector<unsigned char>& expected) {
  std::vector<uint8_t> flash = sim.flash();
  return flash.size() >= expected.size() && std::equal(expected.begin(), expected.end(), flash.begin());
}

struct Run {
  bool ok = false;
  double seconds = 0;
  std::string failure;
};

Run fail(Run run, const std::string& why) {
  run.failure = why;
  return run;
}

Run flashWithClient(const lpcsim::LpcRomSim& sim, const std::vector<unsigned char>& image, unsigned int baud) {
  Run run;
  NXPSerialClass client;
  auto start = Clock::now();
  if (client.Connect(sim.port().c_str(), baud) != aErrNone) return fail(run, "connect");
  if (client.Sync() != aErrNone) return fail(run, "sync");
  if (client.GetDeviceID() != aErrNone) return fail(run, "device id");
  (void)client.Disconnect();  // always aErrNone

  if (client.Connect(sim.port().c_str(), baud) != aErrNone) return fail(run, "second connect");
  if (client.Unlock() != aErrNone) return fail(run, "unlock");
  if (client.Prepare(0, 29) != aErrNone) return fail(run, "prepare");
  if (client.Erase(0, 29) != aErrNone) return fail(run, "erase");
  (void)client.SetEcho(false);
  const unsigned int size = static_cast<unsigned int>(image.size());
  for (unsigned int offset = 0; offset < size;) {
    unsigned int piece = std::min(4096u, size - offset);
    if (client.Write(NXPSerialClass::WRITE_ADDRESS, piece, image.data() + offset) != aErrNone) {
      return fail(run, "write at " + std::to_string(offset));
    }
    if (client.Prepare(NXPSerialClass::SectorFromAddress(offset),
                       NXPSerialClass::SectorFromAddress(offset + piece - 1)) != aErrNone) {
      return fail(run, "prepare at " + std::to_string(offset));
    }
    if (client.CopyToFlash(offset, NXPSerialClass::WRITE_ADDRESS, NXPSerialClass::CopyLength(piece)) != aErrNone) {
      return fail(run, "copy at " + std::to_string(offset));
    }
    offset += piece;
  }
  if (client.SetEcho(true) != aErrNone) return fail(run, "echo on");
  (void)client.ExecuteFrom(0);
  run.seconds = secondsSince(start);
  run.ok = flashHolds(sim, image);
  if (!run.ok) run.failure = "flash differs from the image";
  return run;
}

Run flashWithLpc21isp(const lpcsim::LpcRomSim& sim, const std::vector<unsigned char>& image, unsigned int baud) {
  Run run;
  std::string imagePath = sim.dir() + "/fw.bin";
  std::string logPath = sim.dir() + "/lpc21isp.log";
  {
    std::ofstream out(imagePath, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  }
  std::string rate = std::to_string(baud);
  std::vector<std::string> args = {"/usr/bin/lpc21isp", "-bin", imagePath, sim.port(), rate, "14746"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  auto start = Clock::now();
  int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return fail(run, "lpc21isp could not be started");
  int status = 0;
  if (!lpcsim::reap(pid, kToolTimeoutMs, &status)) {
    lpcsim::stopChild(pid, 1000);
    return fail(run, "lpc21isp timed out");
  }
  run.seconds = secondsSince(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::ifstream in(logPath);
    std::string output((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (output.size() > 400) output = "..." + output.substr(output.size() - 400);
    return fail(run, "lpc21isp exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) +
                         ", its output ends:\n" + output);
  }
  run.ok = flashHolds(sim, withVectorChecksum(image));
  if (!run.ok) run.failure = "flash differs from the image";
  return run;
}

void report(const char* name, const Run& run, size_t size, double wireSeconds) {
  if (!run.ok) {
    printf("%-16s FAILED (%s)\n", name, run.failure.c_str());
    return;
  }
  printf("%-16s %8.2f s  %7.0f B/s  %5.3f of the wire bound\n", name, run.seconds,
         static_cast<double>(size) / run.seconds, wireSeconds / run.seconds);
}

}  // namespace

int main(int argc, char** argv) {
  size_t size = argc > 1 ? strtoul(argv[1], nullptr, 10) : 70000;
  unsigned int baud = argc > 2 ? static_cast<unsigned int>(strtoul(argv[2], nullptr, 10)) : 115200;
  if (size < 32 || size > 512 * 1024 || size % 4 != 0 || NXPSerialClass::ConnectRate(baud) != baud) {
    fprintf(stderr, "usage: nxp_serial_bench [image bytes, 32..524288, multiple of 4] [baud 2400..230400]\n");
    return 2;
  }
  std::vector<unsigned char> image = makeImage(size);
  const double charactersPerSecond = baud / 10.0;
  const double wireRate = charactersPerSecond * 45.0 / 63.0;
  const double wireSeconds = static_cast<double>(size) / wireRate;
  std::string pace = std::to_string(baud);

  Run ours;
  {
    lpcsim::LpcRomSim sim({"--pace", pace, "--on-close", "keep"});
    if (!sim.running()) {
      fprintf(stderr, "the simulator did not start (SIM_DIR=%s)\n", lpcsim::simDir().c_str());
      return 1;
    }
    ours = flashWithClient(sim, image, baud);
  }
  Run theirs;
  {
    lpcsim::LpcRomSim sim({"--pace", pace});
    if (!sim.running()) return 1;
    theirs = flashWithLpc21isp(sim, image, baud);
  }

  printf("image %zu bytes, simulator paced at %u baud (10 bits a character)\n", size, baud);
  printf("wire bound: %.0f B/s (45 bytes in 63 characters), %.2f s for the image\n", wireRate, wireSeconds);
  report("NXPSerialClass", ours, size, wireSeconds);
  report("lpc21isp", theirs, size, wireSeconds);
  if (ours.ok && theirs.ok) {
    printf("ratio NXPSerialClass / lpc21isp time: %.3f\n", ours.seconds / theirs.seconds);
  }
  return ours.ok && theirs.ok ? 0 : 1;
}
