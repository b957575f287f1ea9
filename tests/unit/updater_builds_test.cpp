// Build retrieval through the engine: build number texts, the worker and spinner, the store and
// settings after a download, the fingerprint path, build checks and lists. The update server is a
// local HTTP server on 127.0.0.1 and the store lives in a temporary directory.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"
#include "aBase64.h"
#include "engine/Updater.h"
#include "engine/UpdaterSteps.h"
#include "local_http_server.h"

using namespace engine;

namespace {

namespace fs = std::filesystem;
using Map = std::map<std::string, std::string>;

class RecordingDisplay : public UpdaterDisplayInterface {
 public:
  std::vector<std::string> infos;
  std::vector<std::string> errors;
  std::vector<bool> spinner;
  std::vector<std::string> spinnerLabels;

  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool active, const char* label) override {
    spinner.push_back(active);
    spinnerLabels.push_back(label ? label : "(null)");
  }
  void info_message(const char* text) override { infos.push_back(text); }
  void error_message(const char* text) override { errors.push_back(text); }
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string base64(const std::string& bytes) {
  size_t length = 0;
  unsigned char* text = base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &length);
  std::string result(reinterpret_cast<char*>(text), length);
  free(text);
  return result;
}

Map readSettings(const fs::path& path) {
  Map settings;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    size_t equals = line.find('=');
    if (equals != std::string::npos) settings[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return settings;
}

std::string birdBytes(char fill) { return std::string("bird\x01\x01", 6) + std::string(300, fill) + std::string(1, '\0'); }

class UpdaterBuildsTest : public ::testing::Test {
 protected:
  LocalHttpServer server;
  RecordingDisplay display;
  fs::path work;
  fs::path root;
  const std::string image12 = birdBytes('C');
  const std::string image7 = birdBytes('7');

  void SetUp() override {
    char pattern[] = "/tmp/updater_builds_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    work = pattern;
    root = work / "updater";
    serveDefaults();
  }
  void serveDefaults() {
    server.set(200, "ok\n");
    server.setFor("qu", {200, "ok\n12\nfw-a\n", LocalHttpServer::Framing::Length, 0});
    server.setFor("builds", {200, "ok\n7;1.7\n12;1.12\n", LocalHttpServer::Framing::Length, 0});
    serveImage(image12, 0);
    server.setFor("fix", {200, "ok\n0012ABCD\n7\n", LocalHttpServer::Framing::Length, 0});
  }
  void TearDown() override { fs::remove_all(work); }

  void serveImage(const std::string& image, int delayMs) {
    server.setFor("bird", {200, "ok\n" + base64(image) + "\n", LocalHttpServer::Framing::Length, delayMs});
  }
  Updater updater() { return Updater(server.url().c_str(), root.c_str(), display); }
  fs::path device() const { return root / "0012ABCD"; }
};

TEST_F(UpdaterBuildsTest, BuildTexts) {
  struct Case {
    const char* build;
    int result;
    const char* error;  // null: no error
  };
  const Case cases[] = {
      {"abc", 0, "Build number 'abc' must be an number"},
      {"99999999999999999999999", 0, "Build number '99999999999999999999999' must be an number"},
      {"4294967296", 0, "Build number '4294967296' must be an number"},  // no build number has 33 bits
      {"-1", 0, "Build number '-1' must be an number"},
      {"%s%n", 0, "Build number '%s%n' must be an number"},
      {"12x", 12, nullptr},
      {" 12", 12, nullptr},
      {"", 12, nullptr},   // the latest
      {"0", 12, nullptr},  // build 0 names no build: the latest
  };
  for (const Case& c : cases) {
    display.errors.clear();
    size_t before = server.targets().size();
    Updater engine(server.url().c_str(), root.c_str(), display);
    EXPECT_EQ(engine.Download_Firmware(0x0012ABCD, c.build, false, false), c.result) << c.build;
    if (c.error) {
      EXPECT_EQ(display.errors, std::vector<std::string>{c.error}) << c.build;
      EXPECT_EQ(server.targets().size(), before) << c.build << ": the server was asked";
    } else {
      EXPECT_TRUE(display.errors.empty()) << c.build << ": " << display.errors.front();
      EXPECT_EQ(server.targets().back(), "/cgi/u?bld=12&fw=fw-a&no_cal=false&op=bird&sn=0012ABCD&") << c.build;
    }
  }
}

TEST_F(UpdaterBuildsTest, SerialZeroIsRefusedBeforeTheServer) {
  Updater engine = updater();
  EXPECT_EQ(engine.Download_Firmware(0, "7", false, false), 0);
  EXPECT_EQ(display.errors, std::vector<std::string>{"Serial Number must be non-zero"});
  EXPECT_TRUE(server.targets().empty());
  EXPECT_FALSE(fs::exists(root));
}

TEST_F(UpdaterBuildsTest, DownloadStoresTheImageAndSettingsWhileTheSpinnerTurns) {
  serveImage(image12, 1000);
  Updater engine = updater();
  EXPECT_EQ(engine.Download_Firmware(0x0012ABCD, "", false, false), 12);
  EXPECT_TRUE(display.errors.empty());
  EXPECT_EQ(display.infos, (std::vector<std::string>{"Retrieving build 12", "Validating build 12 with server",
                                                     "Build 12 is valid"}));
  EXPECT_EQ(readFile(device() / "12.bird"), image12);
  Map settings = readSettings(device() / ".settings");
  EXPECT_EQ(settings["LATEST_DOWNLOAD"], "12.bird");
  EXPECT_EQ(settings["LAST_DOWNLOAD_DATE"].size(), 24u) << settings["LAST_DOWNLOAD_DATE"];
  // Turning while the one-second transfer runs, stopped once at the end.
  ASSERT_GE(display.spinner.size(), 3u);
  EXPECT_EQ(std::count(display.spinner.begin(), display.spinner.end(), false), 1);
  EXPECT_FALSE(display.spinner.back());
  for (const std::string& label : display.spinnerLabels) EXPECT_EQ(label, "Downloading");
}

TEST_F(UpdaterBuildsTest, OverrideDownloadsABuildTheListLacks) {
  server.setFor("builds", {200, "ok\n", LocalHttpServer::Framing::Length, 0});
  serveImage(image7, 0);
  Updater engine = updater();
  EXPECT_EQ(engine.Download_Firmware(0x0012ABCD, "7", false, false), 0);
  EXPECT_EQ(display.errors, std::vector<std::string>{"No valid build 7"});
  EXPECT_FALSE(fs::exists(device() / "7.bird"));
  display.errors.clear();
  size_t before = server.targets().size();
  EXPECT_EQ(engine.Download_Firmware(0x0012ABCD, "7", true, false), 7);
  EXPECT_TRUE(display.errors.empty());
  EXPECT_EQ(display.infos.back(), "Override specified, skipping validation of build 7");
  for (size_t i = before; i < server.targets().size(); ++i) {
    EXPECT_EQ(server.targets()[i].find("op=builds"), std::string::npos) << server.targets()[i];
  }
  EXPECT_EQ(readFile(device() / "7.bird"), image7);
}

TEST_F(UpdaterBuildsTest, UnusableStoreIsReported) {
  std::ofstream(root.string()) << "a file where the store should be";
  Updater engine = updater();
  EXPECT_EQ(engine.Download_Firmware(0x0012ABCD, "12", false, false), 0);
  EXPECT_EQ(display.errors, (std::vector<std::string>{
                                "Could not create directory for storing BIRD file",
                                "Failed to open the store directory of device 0012ABCD: UpdaterStore: " +
                                    root.string() + " exists and is a file"}));
}

TEST_F(UpdaterBuildsTest, DownloadByFingerprint) {
  struct Case {
    const char* build;
    int result;
  };
  const Case cases[] = {{"", 7}, {"abc", 7}, {"12", 12}};
  for (const Case& c : cases) {
    serveImage(c.result == 7 ? image7 : image12, 0);
    Updater engine = updater();
    EXPECT_EQ(engine.Download_Firmware(Fingerprint{{1, 2, 3, 4}}, c.build, false), c.result) << c.build;
    EXPECT_TRUE(display.errors.empty()) << c.build;
    EXPECT_EQ(readSettings(device() / ".settings")["LATEST_DOWNLOAD"], std::to_string(c.result) + ".bird");
  }
  std::vector<std::string> targets = server.targets();
  EXPECT_NE(std::find(targets.begin(), targets.end(),
                      "/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&"),
            targets.end());

  server.setFor("fix", {404, "", LocalHttpServer::Framing::Length, 0});
  Updater engine = updater();
  EXPECT_EQ(engine.Download_Firmware(Fingerprint{{1, 2, 3, 4}}, "", false), 0);
  EXPECT_EQ(display.errors,
            (std::vector<std::string>{"Failed to retreive recovery information from Tessaron update server",
                                      "Recovery query for chip 00000001 00000002 00000003 00000004 failed: "
                                      "HTTP status 404"}));
}

TEST_F(UpdaterBuildsTest, ValidBuildComparesKeysAsNumbers) {
  server.setFor("builds", {200, "ok\n7;a\nabc;b\n0012;c\n4294967297;d\n", LocalHttpServer::Framing::Length, 0});
  const std::string url = server.url();
  struct Case {
    unsigned int build;
    bool valid;
  };
  const Case cases[] = {{7, true}, {12, true}, {0, true} /* abc reads as 0 */, {1, false}, {5, false}};
  for (const Case& c : cases) EXPECT_EQ(_valid_build(0x0012ABCD, c.build, url.c_str()), c.valid) << c.build;
  server.setFor("builds", {404, "ok\n7;a\n", LocalHttpServer::Framing::Length, 0});
  EXPECT_FALSE(_valid_build(0x0012ABCD, 7, url.c_str()));
}

TEST_F(UpdaterBuildsTest, BuildLists) {
  Updater engine = updater();
  EXPECT_EQ(engine.Get_BuildList(0x0012ABCD), (Map{{"7", "1.7"}, {"12", "1.12"}}));
  EXPECT_TRUE(display.errors.empty());
  EXPECT_TRUE(engine.Get_BuildListLocal(0x0012ABCD).empty());

  server.setFor("builds", {200, "error\nunknown device\n", LocalHttpServer::Framing::Length, 0});
  EXPECT_TRUE(engine.Get_BuildList(0x0012ABCD).empty());
  EXPECT_EQ(display.errors, (std::vector<std::string>{"Failed to retrieve builds for 0012ABCD",
                                                      "Query of the builds for device 0012ABCD failed: the update "
                                                      "server answered \"error\": unknown device"}));

  display.errors.clear();
  server.set(500, "ok\n");  // the ping
  EXPECT_TRUE(engine.Get_BuildList(0x0012ABCD).empty());
  EXPECT_EQ(display.errors, (std::vector<std::string>{"Server request failed for " + server.url(),
                                                      "Greeting of the update server failed: HTTP status 500"}));
}

// Each way the server side of a download can fail, with the lines the user reads: the existing
// line first, then the one that names the step and the cause.
TEST_F(UpdaterBuildsTest, DownloadFailuresNameTheirCause) {
  using Framing = LocalHttpServer::Framing;
  const std::string noBuildInfo = "No build information for device";
  const std::string latestFailed = "Query of the latest build for device 0012ABCD failed: ";
  const std::string downloadFailed = "Download of build 12 for device 0012ABCD failed: ";
  const std::string noBird = "Failed to retreive a valid BIRD file";
  struct Case {
    const char* op;  // the query the fault applies to; null: the ping (the server's default reply)
    LocalHttpServer::Reply reply;
    std::vector<std::string> errors;
  };
  const Case cases[] = {
      {nullptr, {503, "", Framing::Length, 0},
       {"Server request failed for " + server.url(), "Greeting of the update server failed: HTTP status 503"}},
      {"qu", {500, "ok\n12\n", Framing::Length, 0}, {noBuildInfo, latestFailed + "HTTP status 500"}},
      {"qu", {200, "error: unknown device\n", Framing::Length, 0},
       {noBuildInfo, latestFailed + "the update server answered \"error: unknown device\" instead of \"ok\""}},
      {"qu", {200, "", Framing::Length, 0}, {noBuildInfo, latestFailed + "the update server's reply is empty"}},
      {"qu", {200, "ok\n", Framing::Length, 0}, {noBuildInfo, latestFailed + "the update server named no build"}},
      {"qu", {200, "ok\nnew\n", Framing::Length, 0},
       {noBuildInfo, latestFailed + "the update server named no build number (\"new\")"}},
      {"qu", {200, "ok\n12\n", Framing::Length, 5000},
       {noBuildInfo, latestFailed + "no answer from the update server within 4 s"}},
      {"builds", {500, "", Framing::Length, 0},
       {"No valid build 12", "Query of the builds for device 0012ABCD failed: HTTP status 500"}},
      {"bird", {500, "", Framing::Length, 0}, {"Download failed", downloadFailed + "HTTP status 500", noBird}},
      {"bird", {200, "refused\n", Framing::Length, 0},
       {"Download failed", downloadFailed + "the update server answered \"refused\" instead of \"ok\"", noBird}},
      {"bird", {200, "ok\n" + base64(image12), Framing::CutShort, 0},
       {"Download failed", downloadFailed + "transfer closed with 100 bytes remaining to read", noBird}},
      {"bird", {200, "ok\n", Framing::Length, 0}, {noBird, downloadFailed + "the update server's reply holds no image"}},
      {"bird", {200, "ok\n@@@@\n", Framing::Length, 0},
       {noBird, downloadFailed + "the image the update server sent is not valid Base64"}},
      {"bird", {200, "ok\n" + base64("not a bird file") + "\n", Framing::Length, 0},
       {noBird, downloadFailed + "the image the update server sent is not a bird file"}},
  };
  for (const Case& c : cases) {
    serveDefaults();
    const std::string name = std::string(c.op ? c.op : "hi") + " " + c.reply.body;
    if (c.op) {
      server.setFor(c.op, c.reply);
    } else {
      server.set(c.reply);
    }
    display.errors.clear();
    Updater engine = updater();
    EXPECT_EQ(engine.Download_Firmware(0x0012ABCD, "", false, false), 0) << name;
    EXPECT_EQ(display.errors, c.errors) << name;
    EXPECT_FALSE(fs::exists(device() / "12.bird")) << name;
  }
}

TEST_F(UpdaterBuildsTest, UnreachableServerNamesTheConnectionFailure) {
  std::string url;
  {
    LocalHttpServer closed;
    url = closed.url();
  }
  Updater engine(url.c_str(), root.c_str(), display);
  EXPECT_EQ(engine.Download_Firmware(0x0012ABCD, "", false, false), 0);
  ASSERT_EQ(display.errors.size(), 2u);
  EXPECT_EQ(display.errors[0], "Server request failed for " + url);
  EXPECT_EQ(display.errors[1].rfind("Greeting of the update server failed: Failed to connect to 127.0.0.1 port ", 0),
            0u)
      << display.errors[1];
}

}  // namespace
