// A device's history records: what is written is read back field by field, and every line that
// holds no record is named while the others stay readable.
#include "engine/HistoryRecord.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "store/DeviceHistory.h"
#include "store/UpdaterStore.h"
#include "store_test_support.h"

namespace {

using store_test::ReadText;
using store_test::TempDir;
using store_test::WriteText;

constexpr uint32_t kSerial = 0x0F5849A1;

HistoryRecord FullRecord() {
  HistoryRecord record;
  record.device.serial = kSerial;
  record.device.buildBefore = 1234;
  record.device.buildWanted = 1240;
  record.device.buildAfter = 1234;
  record.device.result = DeviceRecord::Result::Failed;
  record.device.step = UpdateOutcome::Step::Firmware;
  record.device.cause = "FIRMWARE not sent: interrupted by SIGINT";
  record.device.state = UpdateOutcome::DeviceState::InLoader;
  record.device.seconds = 2.5;
  record.device.file = "/tmp/f\xff.bird";
  record.time = "2026-12-11T08:19:02Z";
  record.user = "tech";
  record.host = "station-3";
  record.command = "update";
  record.arguments = {"Updater", "-U", "-d", "0F5849A1", "-l", "replaced after RMA 4471"};
  record.fileBuild = 1240;
  record.note = "replaced after RMA 4471 \"quoted\"\n";
  record.interrupted = "SIGINT";
  return record;
}

TEST(HistoryRecordTest, WrittenRecordsReadBackFieldByField) {
  TempDir root;
  std::string why;
  HistoryRecord full = FullRecord();
  HistoryRecord bare;  // what a run that knew nothing of the device still records
  bare.device.serial = kSerial;
  bare.time = "2026-12-11T08:20:00Z";
  ASSERT_TRUE(HistoryRecord_Append(root.path(), full, &why)) << why;
  ASSERT_TRUE(HistoryRecord_Append(root.path(), bare, &why)) << why;

  DeviceHistoryView view = HistoryRecord_ReadAll(root.path(), kSerial);
  ASSERT_TRUE(view.present);
  EXPECT_EQ("", view.problem);
  EXPECT_EQ(std::vector<std::string>{}, view.skipped);
  ASSERT_EQ(2u, view.records.size());
  const HistoryRecord& read = view.records[0];
  EXPECT_EQ(Json::Write(DeviceRecord_ToJson(full.device)), Json::Write(DeviceRecord_ToJson(read.device)));
  EXPECT_EQ(full.time, read.time);
  EXPECT_EQ(full.user, read.user);
  EXPECT_EQ(full.host, read.host);
  EXPECT_EQ(full.command, read.command);
  EXPECT_EQ(full.arguments, read.arguments);
  EXPECT_EQ(full.fileBuild, read.fileBuild);
  EXPECT_EQ(full.note, read.note);  // a line feed in the note stays in its record's one line
  EXPECT_EQ(full.interrupted, read.interrupted);
  EXPECT_EQ(bare.time, view.records[1].time);
  EXPECT_FALSE(view.records[1].fileBuild.has_value());
  EXPECT_EQ("", view.records[1].note);
  // One line a record, each ending with its line feed.
  const std::string text = ReadText(DeviceHistory_Path(root / UpdaterStore::SerialText(kSerial)));
  EXPECT_EQ(2, std::count(text.begin(), text.end(), '\n'));
}

TEST(HistoryRecordTest, LinesThatHoldNoRecordAreNamedAndTheRestRead) {
  TempDir root;
  const std::string directory = root / UpdaterStore::SerialText(kSerial);
  store_test::MakeDirectory(directory);
  const std::string good = Json::Write(HistoryRecord_ToJson(FullRecord()));
  struct Case {
    const char* name;
    std::string text;
    size_t records;
    std::vector<std::string> skipped;
  };
  const Case cases[] = {
      {"whole records", good + "\n" + good + "\n", 2, {}},
      {"a last line cut by a crash", good + "\n" + good.substr(0, 40), 1, {"line 2: cut short (no line end)"}},
      {"a line of garbage", "garbage\n" + good + "\n", 1, {"line 1: not JSON: "}},
      {"JSON that is no record", "{\"time\": \"2026-12-11T08:19:02Z\"}\n" + good + "\n", 1,
       {"line 1: not a record: serial: missing"}},
      {"a record without its time", "{\"serial\": \"0F5849A1\", \"result\": \"updated\", \"state\": \"running\"}\n",
       0, {"line 1: not a record: time: missing"}},
      {"an empty line", good + "\n\n" + good + "\n", 2, {"line 2: not JSON: "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteText(DeviceHistory_Path(directory), c.text);
    DeviceHistoryView view = HistoryRecord_ReadAll(root.path(), kSerial);
    EXPECT_EQ(c.records, view.records.size());
    ASSERT_EQ(c.skipped.size(), view.skipped.size());
    for (size_t i = 0; i < c.skipped.size(); ++i) {
      EXPECT_EQ(0u, view.skipped[i].rfind(c.skipped[i], 0)) << view.skipped[i];  // begins with
    }
  }
}

TEST(HistoryRecordTest, ADeviceWithoutHistoryHasNone) {
  TempDir root;
  DeviceHistoryView view = HistoryRecord_ReadAll(root.path(), kSerial);
  EXPECT_FALSE(view.present);
  EXPECT_TRUE(view.records.empty());
  EXPECT_EQ("", view.problem);
}

TEST(HistoryRecordTest, StampNamesTheTimeInUtc) {
  HistoryRecord record;
  HistoryRecord_StampNow(&record);
  EXPECT_TRUE(std::regex_match(record.time, std::regex(R"(20\d\d-\d\d-\d\dT\d\d:\d\d:\d\dZ)"))) << record.time;
  EXPECT_FALSE(record.user.empty());
}

}  // namespace
