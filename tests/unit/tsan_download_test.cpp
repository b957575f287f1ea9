// The download worker and the waiting thread under the thread sanitizer: the image the worker
// fills is read only after its result arrives, and the spinner is turned by the caller alone.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "UpdaterDisplayInterface.h"
#include "aBase64.h"
#include "engine/Updater.h"
#include "local_http_server.h"

namespace {

namespace fs = std::filesystem;

class SpinnerCountingDisplay : public UpdaterDisplayInterface {
 public:
  std::thread::id owner = std::this_thread::get_id();
  int turns = 0;
  int stops = 0;
  bool otherThreadDrew = false;

  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  // The download's own spinner is counted; a server query that is slow (a busy host) turns one of
  // its own as well.
  void update_spinner(bool active, const char* label) override {
    if (std::this_thread::get_id() != owner) otherThreadDrew = true;
    if (label != nullptr && std::string(label) == "Downloading") (active ? turns : stops)++;
  }
  void info_message(const char*) override {}
  void error_message(const char*) override {}
};

TEST(TsanDownloadTest, WorkerHandsTheImageToTheWaitingThread) {
  char pattern[] = "/tmp/tsan_download_test.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  fs::path root = fs::path(pattern) / "updater";
  const std::string image = std::string("bird\x01\x01", 6) + std::string(100000, 'x');
  size_t length = 0;
  unsigned char* text = base64_encode(reinterpret_cast<const unsigned char*>(image.data()), image.size(), &length);
  std::string encoded(reinterpret_cast<char*>(text), length);
  free(text);

  LocalHttpServer server;
  server.set(200, "ok\n");
  server.setFor("qu", {200, "ok\n3\nfw\n", LocalHttpServer::Framing::Length, 0});
  server.setFor("bird", {200, "ok\n" + encoded + "\n", LocalHttpServer::Framing::Length, 300});

  for (int round = 0; round < 3; ++round) {
    SpinnerCountingDisplay display;
    Updater engine(server.url().c_str(), root.c_str(), display);
    EXPECT_EQ(engine.Download_Firmware(0x0000ABCD, "", true, false), 3);
    EXPECT_FALSE(display.otherThreadDrew);
    EXPECT_GE(display.turns, 1);
    EXPECT_EQ(display.stops, 1);
  }
  std::ifstream in(root / "0000ABCD" / "3.bird", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), image);

  // A failed transfer ends the worker too.
  server.setFor("bird", {500, "", LocalHttpServer::Framing::Length, 100});
  SpinnerCountingDisplay display;
  Updater engine(server.url().c_str(), root.c_str(), display);
  EXPECT_EQ(engine.Download_Firmware(0x0000ABCD, "", true, false), 0);
  EXPECT_EQ(display.stops, 1);
  fs::remove_all(pattern);
}

}  // namespace
