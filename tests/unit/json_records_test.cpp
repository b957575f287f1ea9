#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CheckRecord.h"
#include "JsonRecords.h"

namespace {

using Json::Value;

std::string field(const Value& object, const char* name) { return Json::Write(*object.Find(name)); }

TEST(JsonRecords, BuildsAreOrderedByNumberAndOnlyTheNamedLatestIsLatest) {
  // The server names 9 latest although 12 is higher; a name that is no number comes last.
  const std::map<std::string, std::string> builds = {
      {"12", "0.5"}, {"7", "1.9"}, {"9", "1.10"}, {"beta", "0.1"}, {"0010", "1.0"}};
  const Value list = JsonRecords::ServerBuilds(builds, 9);
  EXPECT_EQ(Json::Write(list),
            R"([{"build":7,"version":"1.9","latest":false},{"build":9,"version":"1.10","latest":true},)"
            R"({"build":10,"version":"1.0","latest":false},{"build":12,"version":"0.5","latest":false},)"
            R"({"build":null,"name":"beta","version":"0.1","latest":false}])");
  // No latest known: none is latest.
  const Value unknown = JsonRecords::ServerBuilds(builds, 0);
  for (const Value& item : unknown.items()) EXPECT_FALSE(item.Find("latest")->asBool());
}

TEST(JsonRecords, DiscoveredModulesByTransportAndReach) {
  struct Case {
    const char* name;
    linkType type;
    uint32_t routerSerial;
    aErr error;
    const char* build, *version, *address, *router;
    uint32_t buildNumber = 1000;  // 0: the build query got no answer (the version query did)
  };
  const Case cases[] = {
      {"TCP/IP, reached directly", linkTypeTCPIP, 0x0F5849A1, aErrNone, "1000", R"("2.1.5")", R"("10.77.0.2")", "null"},
      {"behind a router", linkTypeTCPIP, 0xD272031D, aErrNone, "1000", R"("2.1.5")", R"("10.77.0.2")",
       R"("D272031D")"},
      // A busy module: its build is unknown, not 0.
      {"USB, busy", linkTypeUSB, 0, aErrBusy, "null", "null", "null", "null"},
      // The build query unanswered, the version read: the build is unknown, not 0.
      {"build not read", linkTypeTCPIP, 0x0F5849A1, aErrNone, "null", R"("2.1.5")", R"("10.77.0.2")", "null", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceInfo record;
    record.spec.type = c.type;
    record.spec.serialNumber = 0x0F5849A1;
    record.spec.routerSerialNumber = c.routerSerial;
    record.spec.moduleAddress = 2;
    record.spec.router = 254;
    record.spec.model = 19;
    record.spec.t.ip.ipAddress = inet_addr("10.77.0.2");
    record.spec.t.ip.ipPort = 9999;
    record.modelName = "Osprey";
    record.buildNumber = c.buildNumber;
    record.versionMajor = 2;
    record.versionMinor = 1;
    record.versionPatch = 5;
    record.error = c.error;
    const Value device = JsonRecords::DiscoveredDevice(record);
    EXPECT_EQ(field(device, "serial"), R"("0F5849A1")");
    EXPECT_EQ(field(device, "transport"), c.type == linkTypeUSB ? R"("USB")" : R"("TCP")");
    EXPECT_EQ(field(device, "build"), c.build);
    EXPECT_EQ(field(device, "version"), c.version);
    EXPECT_EQ(field(device, "address"), c.address);
    EXPECT_EQ(field(device, "port"), c.type == linkTypeUSB ? "null" : "9999");
    EXPECT_EQ(field(device, "router"), c.router);
    EXPECT_EQ(field(device, "router_address"), "254");
    EXPECT_EQ(device.Find("cause")->isNull(), c.error == aErrNone && c.buildNumber != 0);
  }
}

TEST(JsonRecords, StoredDeviceKeepsSettingsEventsAndFilesThatDoNotLoad) {
  StoredDevice device;
  device.directory = "/home/u/.tessaron/updater/0F5849A1";
  device.hasSettings = true;
  device.settings = {{"LATEST_DOWNLOAD", "1234.bird"}, {"LAST_DOWNLOAD_DATE", "Fri Dec 11 08:00:00 2026"},
                     {"LATEST_TRANSFER", "99.bird"}, {"ODD\x01KEY", "value\xff"}};
  device.builds = {{"99.bird", "/s/99.bird", "Failed to load bird data: cut short", 0, ""},
                   {"1234.bird", "/s/1234.bird", "", 1234, "3.2.1"}};
  Value record = JsonRecords::StoredDeviceRecord(0x0F5849A1, device);
  EXPECT_EQ(field(record, "latest_download"), R"({"file":"1234.bird","date":"Fri Dec 11 08:00:00 2026"})");
  EXPECT_EQ(field(record, "latest_transfer"), R"({"file":"99.bird","date":null})");
  EXPECT_EQ(field(record, "builds"),
            R"([{"file":"99.bird","path":"/s/99.bird","build":null,"version":null,)"
            R"("problem":"Failed to load bird data: cut short"},)"
            R"({"file":"1234.bird","path":"/s/1234.bird","build":1234,"version":"3.2.1","problem":null}])");
  // Bytes from a file stay valid JSON.
  Value parsed;
  EXPECT_TRUE(Json::Parse(Json::Write(record), &parsed));
  EXPECT_EQ(parsed.Find("settings")->size(), 4u);

  device.settingsError = "Permission denied";
  record = JsonRecords::StoredDeviceRecord(0x0F5849A1, device);
  EXPECT_EQ(field(record, "settings"), "null");
  EXPECT_EQ(field(record, "settings_error"), R"("Permission denied")");
}

TEST(CheckRecord, EveryFaultWithItsCheckAndStep) {
  CheckRecord record("/tmp/a.bird", 1234);
  EXPECT_EQ(record.Fault("build", ""), "");  // a check that passed adds nothing
  record.Fault("integrity", "the block list reports 4 blocks but holds 3");
  record.Fault("device", "Connected device model and Bird file model do not match [Osprey]");
  const Value file = record.Finish(false);
  EXPECT_EQ(field(file, "faults"),
            R"([{"check":"integrity","step":"file","cause":"the block list reports 4 blocks but holds 3"},)"
            R"({"check":"device","step":"validation",)"
            R"("cause":"Connected device model and Bird file model do not match [Osprey]"}])");
  EXPECT_EQ(field(file, "build_wanted"), "1234");
  EXPECT_EQ(field(file, "loaded"), "false");
  EXPECT_EQ(field(file, "info"), "null");
  EXPECT_EQ(field(CheckRecord("/tmp/b.bird", 0).Finish(true), "build_wanted"), "null");
}

}  // namespace
