#include <gtest/gtest.h>

#include <set>
#include <string>

#include "engine/DeviceRecord.h"

namespace {

using State = UpdateOutcome::DeviceState;
using Step = UpdateOutcome::Step;

TEST(OutcomeNames, EveryStepAndStateReadsBackFromItsName) {
  std::set<std::string> seen;
  for (int i = static_cast<int>(Step::Command); i <= static_cast<int>(Step::Process); ++i) {
    const Step step = static_cast<Step>(i);
    const std::string name = UpdateOutcome_StepName(step);
    EXPECT_FALSE(name.empty()) << i;
    EXPECT_TRUE(seen.insert(name).second) << name << " named twice";
    Step back = Step::None;
    EXPECT_TRUE(UpdateOutcome_StepFromName(name, &back)) << name;
    EXPECT_EQ(back, step) << name;
  }
  for (int i = static_cast<int>(State::Unknown); i <= static_cast<int>(State::Running); ++i) {
    const State state = static_cast<State>(i);
    State back = State::Unknown;
    EXPECT_TRUE(UpdateOutcome_StateFromName(UpdateOutcome_StateName(state), &back)) << i;
    EXPECT_EQ(back, state);
  }
  Step step = Step::Loader;
  EXPECT_FALSE(UpdateOutcome_StepFromName("", &step));
  EXPECT_FALSE(UpdateOutcome_StepFromName("Loader", &step));
  EXPECT_EQ(step, Step::Loader);
}

// The names programs read are fixed: a change here breaks every reader.
TEST(OutcomeNames, TheDocumentedNames) {
  EXPECT_STREQ(UpdateOutcome_StepName(Step::Connect), "connect");
  EXPECT_STREQ(UpdateOutcome_StepName(Step::Verification), "verification");
  EXPECT_STREQ(UpdateOutcome_StepName(Step::None), "");
  EXPECT_STREQ(UpdateOutcome_StateName(State::InLoader), "in_loader");
  EXPECT_STREQ(UpdateOutcome_StateName(State::FlashMayBeErased), "flash_may_be_erased");
  EXPECT_STREQ(UpdateOutcome_StateName(State::NotBack), "not_back");
  EXPECT_STREQ(DeviceRecord_ResultName(DeviceRecord::Result::NotRun), "not_run");
}

UpdateOutcome outcome(UpdateOutcome::Result result, State state, uint32_t before, uint32_t after, Step step = Step::None,
                      const std::string& cause = std::string()) {
  UpdateOutcome made;
  made.serial = 0x40F5849A;
  made.result = result;
  made.state = state;
  made.buildBefore = before;
  made.buildAfter = after;
  made.fileBuild = 12;
  made.step = step;
  made.cause = cause;
  return made;
}

struct FromOutcomeCase {
  const char* name;
  UpdateOutcome outcome;
  std::string expected;
};

class RecordFromOutcome : public ::testing::TestWithParam<FromOutcomeCase> {};

TEST_P(RecordFromOutcome, IsTheDocumentedObject) {
  DeviceRecordContext context;
  context.model = "MTM-IO";
  context.seconds = 2.5;
  const DeviceRecord record = DeviceRecord_FromOutcome(GetParam().outcome, context);
  EXPECT_EQ(Json::Write(DeviceRecord_ToJson(record)), GetParam().expected);
}

using R = UpdateOutcome::Result;
INSTANTIATE_TEST_SUITE_P(
    Cases, RecordFromOutcome,
    ::testing::Values(
        FromOutcomeCase{"Updated", outcome(R::Updated, State::Running, 11, 12),
                        R"({"serial":"40F5849A","model":"MTM-IO","build_before":11,"build_wanted":12,"build_after":12,)"
                        R"("result":"updated","step":null,"cause":null,"state":"running","seconds":2.5,"file":null})"},
        FromOutcomeCase{"RefusedBeforeWriting",
                        outcome(R::Failed, State::Unchanged, 11, 0, Step::Validation, "another model"),
                        R"({"serial":"40F5849A","model":"MTM-IO","build_before":11,"build_wanted":12,"build_after":11,)"
                        R"("result":"failed","step":"validation","cause":"another model","state":"unchanged",)"
                        R"("seconds":2.5,"file":null})"},
        FromOutcomeCase{"StoppedInLoader", outcome(R::Failed, State::InLoader, 11, 0, Step::Firmware, "block 3"),
                        R"({"serial":"40F5849A","model":"MTM-IO","build_before":11,"build_wanted":12,"build_after":null,)"
                        R"("result":"failed","step":"firmware","cause":"block 3","state":"in_loader","seconds":2.5,)"
                        R"("file":null})"},
        FromOutcomeCase{"NotBack", outcome(R::NotBack, State::NotBack, 0, 0, Step::Verification, "gone"),
                        R"({"serial":"40F5849A","model":"MTM-IO","build_before":null,"build_wanted":12,)"
                        R"("build_after":null,"result":"failed","step":"verification","cause":"gone",)"
                        R"("state":"not_back","seconds":2.5,"file":null})"},
        FromOutcomeCase{"OtherBuildNotAccepted",
                        outcome(R::OtherBuild, State::Running, 11, 13, Step::Verification, "build 13, not 12"),
                        R"({"serial":"40F5849A","model":"MTM-IO","build_before":11,"build_wanted":12,"build_after":13,)"
                        R"("result":"failed","step":"verification","cause":"build 13, not 12","state":"running",)"
                        R"("seconds":2.5,"file":null})"}),
    [](const ::testing::TestParamInfo<FromOutcomeCase>& info) { return std::string(info.param.name); });

TEST(DeviceRecordJson, ReadsBackWhatItWrote) {
  DeviceRecord record;
  record.serial = 0x0000ABCD;
  record.model = std::string("bad\xFF\x01model");  // a device's string, not valid UTF-8
  record.buildBefore = 4294967295u;
  record.buildAfter = 0;
  record.result = DeviceRecord::Result::Failed;
  record.step = Step::Flash;
  record.cause = "erase failed\nat sector 3";
  record.state = State::FlashMayBeErased;
  record.seconds = 0.25;
  record.file = "/tmp/x.bird";
  const std::string line = Json::Write(DeviceRecord_ToJson(record));
  EXPECT_EQ(line.find('\n'), std::string::npos);
  Json::Value parsed;
  ASSERT_TRUE(Json::Parse(line, &parsed));
  DeviceRecord back;
  std::string why;
  ASSERT_TRUE(DeviceRecord_FromJson(parsed, &back, &why)) << why;
  EXPECT_EQ(back.serial, record.serial);
  EXPECT_EQ(back.model, "bad\xEF\xBF\xBD\x01model");
  EXPECT_EQ(back.buildBefore, record.buildBefore);
  EXPECT_FALSE(back.buildWanted.has_value());
  EXPECT_EQ(back.buildAfter, std::optional<uint32_t>(0));
  EXPECT_EQ(back.result, record.result);
  EXPECT_EQ(back.step, record.step);
  EXPECT_EQ(back.cause, record.cause);
  EXPECT_EQ(back.state, record.state);
  EXPECT_EQ(back.seconds, record.seconds);
  EXPECT_EQ(back.file, record.file);
  EXPECT_EQ(DeviceRecord_StepAndCause(back), "flash: erase failed\nat sector 3");
}

struct BadRecordCase {
  const char* name;
  std::string json;
  std::string fault;
};

class DeviceRecordRefused : public ::testing::TestWithParam<BadRecordCase> {};

TEST_P(DeviceRecordRefused, NamesTheField) {
  Json::Value parsed;
  ASSERT_TRUE(Json::Parse(GetParam().json, &parsed));
  DeviceRecord record;
  record.cause = "untouched";
  std::string why;
  EXPECT_FALSE(DeviceRecord_FromJson(parsed, &record, &why));
  EXPECT_EQ(why, GetParam().fault);
  EXPECT_EQ(record.cause, "untouched");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceRecordRefused,
    ::testing::Values(
        BadRecordCase{"NotAnObject", "[]", "record: not an object"},
        BadRecordCase{"NoSerial", R"({"result":"updated","state":"running"})", "serial: missing"},
        BadRecordCase{"SerialAsNumber", R"({"serial":1234,"result":"updated","state":"running"})",
                      "serial: not 8 hex digits"},
        BadRecordCase{"SerialLowerCase", R"({"serial":"40f5849a","result":"updated","state":"running"})",
                      "serial: not 8 hex digits"},
        BadRecordCase{"SerialShort", R"({"serial":"5849A","result":"updated","state":"running"})",
                      "serial: not 8 hex digits"},
        BadRecordCase{"BuildAsText", R"({"serial":"40F5849A","build_before":"11","result":"updated","state":"running"})",
                      "build_before: not a build number"},
        BadRecordCase{"BuildTooLarge",
                      R"({"serial":"40F5849A","build_after":4294967296,"result":"updated","state":"running"})",
                      "build_after: not a build number"},
        BadRecordCase{"NegativeBuild", R"({"serial":"40F5849A","build_wanted":-1,"result":"updated","state":"running"})",
                      "build_wanted: not a build number"},
        BadRecordCase{"UnknownResult", R"({"serial":"40F5849A","result":"fine","state":"running"})",
                      "result: not a known name"},
        BadRecordCase{"NoState", R"({"serial":"40F5849A","result":"updated"})", "state: missing"},
        BadRecordCase{"UnknownStep", R"({"serial":"40F5849A","result":"failed","step":"x","state":"unchanged"})",
                      "step: not a known name"},
        BadRecordCase{"CauseAsNumber", R"({"serial":"40F5849A","result":"failed","cause":3,"state":"unchanged"})",
                      "cause: not text"},
        BadRecordCase{"NegativeSeconds", R"({"serial":"40F5849A","result":"failed","state":"unchanged","seconds":-1})",
                      "seconds: not a number of seconds"}),
    [](const ::testing::TestParamInfo<BadRecordCase>& info) { return std::string(info.param.name); });

}  // namespace
