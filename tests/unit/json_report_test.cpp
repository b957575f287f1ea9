#include <gtest/gtest.h>

#include <string>

#include "AppInfo.h"
#include "JsonReport.h"
#include "ParamParser.h"
#include "RecordingDisplay.h"

namespace {

TEST(JsonReport, TopLevelFieldsComeFirstThenTheCommandsOwn) {
  JsonReport report;
  report.SetCommand("update");
  report.AddDevice(Json::Value::Object().Set("serial", Json::Value::String("00000001")));
  report.AddDevice(Json::Value::Object().Set("serial", Json::Value::String("00000002")));
  const Json::Value document = report.Document(false);
  std::vector<std::string> keys = document.keys();
  EXPECT_EQ(keys, (std::vector<std::string>{"schema", "program", "command", "ok", "error", "devices"}));
  EXPECT_EQ(document.Find("schema")->asInteger(), 1);
  EXPECT_EQ(document.Find("program")->Find("name")->asString(), kAppName);
  EXPECT_EQ("Version: " + document.Find("program")->Find("version")->asString(), kAppVersion);
  EXPECT_EQ(document.Find("command")->asString(), "update");
  EXPECT_FALSE(document.Find("ok")->asBool());
  EXPECT_TRUE(document.Find("error")->isNull());
  ASSERT_EQ(document.Find("devices")->size(), 2u);
  EXPECT_EQ((*document.Find("devices"))[1].Find("serial")->asString(), "00000002");
}

TEST(JsonReport, RenderIsOneLineAndOkFollowsTheExitStatus) {
  JsonReport report;
  report.SetError(UpdateOutcome::Step::Command, "Unknown option: [-q]\n");
  report.SetError(UpdateOutcome::Step::Server, "later, and a consequence");
  const std::string failed = report.Render(1);
  ASSERT_FALSE(failed.empty());
  EXPECT_EQ(failed.back(), '\n');
  EXPECT_EQ(failed.find('\n'), failed.size() - 1);
  Json::Value parsed;
  ASSERT_TRUE(Json::Parse(failed, &parsed));
  EXPECT_FALSE(parsed.Find("ok")->asBool());
  EXPECT_TRUE(parsed.Find("command")->isNull());
  EXPECT_EQ(parsed.Find("error")->Find("step")->asString(), "command");
  EXPECT_EQ(parsed.Find("error")->Find("cause")->asString(), "Unknown option: [-q]\n");
  ASSERT_TRUE(Json::Parse(report.Render(0), &parsed));
  EXPECT_TRUE(parsed.Find("ok")->asBool());
}

struct CommandCase {
  std::vector<const char*> args;
  const char* expected;  // nullptr: none
};

TEST(JsonCommandName, NamesTheCommandTheRunEndsWith) {
  const CommandCase cases[] = {
      {{"-D"}, "discover"},
      {{"-B", "-d", "1"}, "builds"},
      {{"-G", "-d", "1"}, "get"},
      {{"-G", "-U", "-d", "1"}, "update"},
      {{"-U", "-d", "1", "-d", "2"}, "update"},
      {{"-U", "-t", "RECOVER", "-s", "/dev/ttyS0"}, "recover"},
      {{"-N", "-s", "/dev/ttyS0"}, "fingerprint"},
      {{"-I", "-d", "1"}, "info"},
      {{"-D", "-I"}, "discover"},
      {{"-C", "-f", "x.bird"}, "check"},
      {{"-h"}, "help"},
      {{"-n"}, nullptr},
  };
  for (const CommandCase& c : cases) {
    std::vector<char*> argv{const_cast<char*>("Updater")};
    for (const char* arg : c.args) argv.push_back(const_cast<char*>(arg));
    argv.push_back(const_cast<char*>("--json"));
    RecordingDisplay display;
    Parameters params;
    (void)_get_params(display, static_cast<int>(argv.size()), argv.data(), &params);
    const char* name = JsonCommandName(params);
    if (c.expected == nullptr) {
      EXPECT_EQ(name, nullptr) << c.args[0];
    } else {
      ASSERT_NE(name, nullptr) << c.args[0];
      EXPECT_STREQ(name, c.expected) << c.args[0];
    }
  }
}

TEST(JsonOption, TakenAnywhereAndSeenByTheEarlyScan) {
  const char* args[] = {"Updater", "-D", "--json", "-t", "USB"};
  char* argv[5];
  for (int i = 0; i < 5; ++i) argv[i] = const_cast<char*>(args[i]);
  EXPECT_TRUE(JsonOutput::Requested(5, argv));
  EXPECT_FALSE(JsonOutput::Requested(2, argv));
  RecordingDisplay display;
  Parameters params;
  EXPECT_EQ(_get_params(display, 5, argv, &params), 0);
  EXPECT_TRUE(params.json);
  EXPECT_TRUE(params.commands.IsSet(CMD_DISCOVER));
}

}  // namespace
