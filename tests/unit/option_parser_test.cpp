// The option parser over the program's option table and over a small table with look-alike rows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Options.h"
#include "SimpleOpt.h"

namespace {

// One parsed option as the parser reports it.
struct Parsed {
  int error;
  int id;
  std::string text;
  std::string arg;  // "(none)" when OptionArg() is null

  bool operator==(const Parsed& other) const {
    return error == other.error && id == other.id && text == other.text && arg == other.arg;
  }
};

std::ostream& operator<<(std::ostream& out, const Parsed& p) {
  return out << "{" << p.error << ", " << p.id << ", \"" << p.text << "\", \"" << p.arg << "\"}";
}

const std::string kNone = "(none)";

// Owns a mutable argument vector built from words; the first word is the program name.
class ArgVector {
 public:
  explicit ArgVector(const std::vector<std::string>& words) : storage_(words) {
    for (std::string& word : storage_) pointers_.push_back(&word[0]);
    pointers_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(storage_.size()); }
  char** argv() { return pointers_.data(); }
  std::vector<std::string> order() const {
    std::vector<std::string> words;
    for (int i = 0; i < argc(); ++i) words.push_back(pointers_[i]);
    return words;
  }

 private:
  std::vector<std::string> storage_;
  std::vector<char*> pointers_;
};

std::vector<Parsed> parseAll(ArgVector& args, const SOption* table) {
  CSimpleOptTempl<char> parser(args.argc(), args.argv(), table, 0);
  std::vector<Parsed> all;
  while (parser.Next()) {
    all.push_back({parser.LastError(), parser.OptionId(), parser.OptionText() ? parser.OptionText() : "",
                   parser.OptionArg() ? parser.OptionArg() : kNone});
  }
  return all;
}

struct ParserCase {
  const char* name;
  std::vector<std::string> words;  // after the program name
  std::vector<Parsed> expected;
};

class ProgramTable : public ::testing::TestWithParam<ParserCase> {};

TEST_P(ProgramTable, ParsesAsDescribed) {
  const ParserCase& c = GetParam();
  std::vector<std::string> words = {"Updater"};
  words.insert(words.end(), c.words.begin(), c.words.end());
  ArgVector args(words);
  EXPECT_EQ(parseAll(args, g_rgOptions), c.expected);
}

const ParserCase kProgramCases[] = {
    {"Nothing", {}, {}},
    {"ExactCommand", {"-D"}, {{0, 1, "-D", kNone}}},
    {"AbbreviationO", {"-O"}, {{0, 1, "-OVERRIDE", kNone}}},
    {"AbbreviationOVER", {"-OVER"}, {{0, 1, "-OVERRIDE", kNone}}},
    {"FullOverride", {"-OVERRIDE"}, {{0, 1, "-OVERRIDE", kNone}}},
    {"LongerThanRowIsUnknown", {"-OVERRIDES"}, {{-1, -1, "-OVERRIDES", kNone}}},
    {"DoubleHyphenAbbreviation", {"--h"}, {{0, 0, "--help", kNone}}},
    {"DoubleHyphenFull", {"--help"}, {{0, 0, "--help", kNone}}},
    {"SingleHyphenHelpIsUnknown", {"-help"}, {{-1, -1, "-help", kNone}}},
    {"TripleHyphenIsUnknown", {"---help"}, {{-1, -1, "---help", kNone}}},
    {"CaseMatters", {"-o", "9600", "-O"}, {{0, 2, "-o", "9600"}, {0, 1, "-OVERRIDE", kNone}}},
    {"UpperAndLowerH", {"-H", "-h"}, {{0, 0, "-H", kNone}, {0, 0, "-h", kNone}}},
    {"NoClumping", {"-DU"}, {{-1, -1, "-DU", kNone}}},
    {"NoAttachedArgument", {"-d40F5849A"}, {{-1, -1, "-d40F5849A", kNone}}},
    {"EqualsArgument", {"-d=40F5849A"}, {{0, 2, "-d", "40F5849A"}}},
    {"EqualsSplitsAtFirst", {"-u=a=b"}, {{0, 2, "-u", "a=b"}}},
    {"EmptyEqualsArgument", {"-d="}, {{0, 2, "-d", ""}}},
    {"EqualsArgumentMayBeginWithDash", {"-X=-1"}, {{0, 2, "-X", "-1"}}},
    {"EqualsOnFlag", {"-D=1", "-U"}, {{-3, 1, "-D", kNone}, {0, 1, "-U", kNone}}},
    {"EqualsOnAbbreviatedFlag", {"-OV=yes"}, {{-3, 1, "-OVERRIDE", kNone}}},
    {"NextElementArgument", {"-d", "40F5849A", "-U"}, {{0, 2, "-d", "40F5849A"}, {0, 1, "-U", kNone}}},
    {"DashLedArgumentRefused", {"-e", "-U", "-d", "1"}, {{-6, 2, "-e", kNone}, {0, 1, "-U", kNone}, {0, 2, "-d", "1"}}},
    {"NegativeNumberIsAnArgument", {"-j", "-1", "-b", "-05"}, {{0, 2, "-j", "-1"}, {0, 2, "-b", "-05"}}},
    {"DashAndLettersAreNoNumber", {"-j", "-1x", "-j", "-"}, {{-6, 2, "-j", kNone}, {-1, -1, "-1x", kNone},
                                                              {-6, 2, "-j", kNone}, {-1, -1, "-", kNone}}},
    {"LoneNegativeNumberIsUnknown", {"-7"}, {{-1, -1, "-7", kNone}}},
    {"MissingArgumentAtEnd", {"-U", "-d"}, {{0, 1, "-U", kNone}, {-5, 2, "-d", kNone}}},
    {"StrayWordsSkipped", {"foo", "-D", "bar", "-b", "7", "baz"},
     {{0, 1, "-D", kNone}, {0, 2, "-b", "7"}}},
    {"LoneHyphenNamesNothing", {"-", "-D"}, {{-1, -1, "-", kNone}, {0, 1, "-D", kNone}}},
    {"DoubleHyphenAloneNamesNothing", {"--"}, {{-1, -1, "--", kNone}}},
    {"UnknownDoesNotStopParsing", {"-Q", "-B"}, {{-1, -1, "-Q", kNone}, {0, 1, "-B", kNone}}},
};

INSTANTIATE_TEST_SUITE_P(Cases, ProgramTable, ::testing::ValuesIn(kProgramCases),
                         [](const ::testing::TestParamInfo<ParserCase>& info) { return std::string(info.param.name); });

// Rows that share prefixes, to show exact-first matching and ambiguity.
const SOption kLookAlikes[] = {
    {10, "-out", kOptionRequiredArg},
    {11, "-output", kOptionNoArg},
    {12, "-over", kOptionNoArg},
    {13, "--over", kOptionNoArg},
    {-1, nullptr, kOptionNoArg},
};

class LookAlikeTable : public ::testing::TestWithParam<ParserCase> {};

TEST_P(LookAlikeTable, ParsesAsDescribed) {
  const ParserCase& c = GetParam();
  std::vector<std::string> words = {"prog"};
  words.insert(words.end(), c.words.begin(), c.words.end());
  ArgVector args(words);
  EXPECT_EQ(parseAll(args, kLookAlikes), c.expected);
}

const ParserCase kLookAlikeCases[] = {
    {"AmbiguousPrefix", {"-o"}, {{-2, -1, "-o", kNone}}},
    {"AmbiguousPrefixOu", {"-ou"}, {{-2, -1, "-ou", kNone}}},
    {"ExactBeatsLongerRow", {"-out", "x"}, {{0, 10, "-out", "x"}}},
    {"UniquePrefix", {"-outp"}, {{0, 11, "-output", kNone}}},
    {"HyphenCountSeparatesRows", {"--ov"}, {{0, 13, "--over", kNone}}},
    {"SingleHyphenPrefixIgnoresDoubleHyphenRow", {"-ov"}, {{0, 12, "-over", kNone}}},
    {"AmbiguousOptionDoesNotTakeArgument", {"-o", "word", "-over"}, {{-2, -1, "-o", kNone}, {0, 12, "-over", kNone}}},
};

INSTANTIATE_TEST_SUITE_P(Cases, LookAlikeTable, ::testing::ValuesIn(kLookAlikeCases),
                         [](const ::testing::TestParamInfo<ParserCase>& info) { return std::string(info.param.name); });

TEST(OptionParser, StrayWordsMoveBehindOptionsInTheirOrder) {
  ArgVector args({"Updater", "one", "-D", "two", "-d", "40F5849A", "three", "-U"});
  CSimpleOptTempl<char> parser(args.argc(), args.argv(), g_rgOptions, 0);
  while (parser.Next()) {
  }
  EXPECT_EQ(args.order(),
            (std::vector<std::string>{"Updater", "-D", "-d", "40F5849A", "-U", "one", "two", "three"}));
  ASSERT_EQ(parser.NonOptionCount(), 3);
  EXPECT_STREQ(parser.NonOption(0), "one");
  EXPECT_STREQ(parser.NonOption(2), "three");
  EXPECT_EQ(parser.NonOption(3), nullptr);
}

TEST(OptionParser, MovedStrayWordIsNotTakenAsArgument) {
  // "word" is moved behind before -d is reached, so -d has no argument left.
  ArgVector args({"Updater", "word", "-d"});
  EXPECT_EQ(parseAll(args, g_rgOptions), (std::vector<Parsed>{{-5, 2, "-d", kNone}}));
}

TEST(OptionParser, ProgramNameIsNeverAnOption) {
  ArgVector args({"-D"});
  EXPECT_TRUE(parseAll(args, g_rgOptions).empty());
}

TEST(OptionParser, EmptyArgumentVector) {
  CSimpleOptTempl<char> parser(0, nullptr, g_rgOptions, 0);
  EXPECT_FALSE(parser.Next());
}

TEST(OptionTable, RowsInOrderEndedByMinusOne) {
  const char* texts[] = {"-B", "-D", "-G", "-I", "-U", "-OVERRIDE", "-N", "-Y", "-C", "-h", "-H", "-n", "-X",
                         "-Z", "-b", "-d", "-t", "-f", "-r", "-s", "-o", "-e", "-l", "-k", "-u", "--help", "-j", "--json"};
  const int ids[] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 0, 2, 3};
  const int args[] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 0};
  size_t rows = sizeof texts / sizeof texts[0];
  for (size_t i = 0; i < rows; ++i) {
    EXPECT_STREQ(g_rgOptions[i].text, texts[i]) << i;
    EXPECT_EQ(g_rgOptions[i].id, ids[i]) << texts[i];
    EXPECT_EQ(g_rgOptions[i].argType, args[i]) << texts[i];
  }
  EXPECT_EQ(g_rgOptions[rows].id, -1);
}

}  // namespace
