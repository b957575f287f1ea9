// Settings files: line syntax, key order, creation and update times, getters, Add overloads, and
// saves that fail part-way leaving the previous file intact.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <regex>
#include <string>

#include "store/KeyValueStore.h"
#include "store_test_support.h"

using store_test::FileSizeLimit;
using store_test::ListNames;
using store_test::LogCapture;
using store_test::ReadText;
using store_test::TempDir;
using store_test::WorkingDirectory;
using store_test::WriteText;
using Entries = std::map<std::string, std::string>;

namespace {

const char* const kTimeText = "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}";

bool IsTimeText(const std::string& text) { return std::regex_match(text, std::regex(kTimeText)); }

class KeyValueStoreTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string file = dir / "settings";

  Entries LoadText(const std::string& text) {
    WriteText(file, text);
    KeyValueStore store(file.c_str());
    EXPECT_FALSE(store.IsModified());
    return store.Entries();
  }
};

TEST_F(KeyValueStoreTest, ReadsLinesAsTheFormatDefines) {
  struct {
    const char* name;
    std::string text;
    Entries expected;
  } cases[] = {
      {"spaces around key and value", "  KEY  =  some value  \n", {{"KEY", "some value"}}},
      {"equals sign in the value", "A=b=c\n", {{"A", "b=c"}}},
      {"comment line", "#A=1\n", {}},
      {"hash after a space is a key", " #A=1\n", {{"#A", "1"}}},
      {"one character and a line feed", "x\n", {}},
      {"two characters and a line feed", "A=\n", {{"A", ""}}},
      {"too short without a line feed", "A=", {}},
      {"last line without a line feed", "A=1\nB=2", {{"A", "1"}, {"B", "2"}}},
      {"later duplicate wins", "K=1\nK=2\n", {{"K", "2"}}},
      {"carriage return trimmed", "A=1\r\nB = 2 \r\n", {{"A", "1"}, {"B", "2"}}},
      {"tabs", "\tT\t=\tv a l\t\n", {{"T", "v a l"}}},
      {"no equals sign", "no equals here\n", {}},
      {"empty key", "   =x\n==\n", {}},
      {"blank lines", "\n\n   \nA=1\n", {{"A", "1"}}},
      {"nul byte ends the line", std::string("AB\0=1\nC=2\0x\n", 12), {{"C", "2"}}},
      {"line of any length is kept, and so are the lines after it",
       "A=1\nL=" + std::string(300000, 'x') + "\nB=2\n",
       {{"A", "1"}, {"L", std::string(300000, 'x')}, {"B", "2"}}},
      {"line that just fits", "L=" + std::string(2044, 'y') + "\nB=2\n", {{"L", std::string(2044, 'y')}, {"B", "2"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.expected, LoadText(c.text));
  }
}

TEST_F(KeyValueStoreTest, LoadKeepsEntriesTheFileDoesNotReplace) {
  KeyValueStore store;
  EXPECT_TRUE(store.Add("OLD", "kept"));
  EXPECT_TRUE(store.Add("K", "replaced"));
  WriteText(file, "K=new\n");
  EXPECT_TRUE(store.Load(file.c_str()));
  EXPECT_EQ((Entries{{"K", "new"}, {"OLD", "kept"}}), store.Entries());
  EXPECT_FALSE(store.IsModified());
  EXPECT_EQ(file, store.Filename());
}

TEST_F(KeyValueStoreTest, MissingFileIsCreatedWithItsTwoTimeEntries) {
  LogCapture log(DEBUG_Attributes);
  KeyValueStore store(file.c_str());
  EXPECT_FALSE(store.IsModified());
  EXPECT_EQ(file, store.Filename());
  ASSERT_EQ(2u, store.Entries().size());
  std::string created = store.GetString("CREATED_TIME", nullptr);
  std::string updated = store.GetString("UPDATED_TIME", nullptr);
  EXPECT_TRUE(IsTimeText(created)) << created;
  EXPECT_TRUE(IsTimeText(updated)) << updated;
  EXPECT_EQ("CREATED_TIME=" + created + "\nUPDATED_TIME=" + updated + "\n", ReadText(file));
  EXPECT_TRUE(log.contains("Attibutes: Error - cannot open attributes file: '" + file + "' (2)\n")) << log.text();
}

TEST_F(KeyValueStoreTest, MissingDirectoryKeepsBothTimesInMemoryOnly) {
  std::string nowhere = dir / "missing/settings";
  LogCapture log(DEBUG_Attributes);
  KeyValueStore store(nowhere.c_str());
  EXPECT_FALSE(store.IsModified());
  EXPECT_EQ(2u, store.Entries().size());
  EXPECT_NE(nullptr, store["CREATED_TIME"]);
  EXPECT_NE(nullptr, store["UPDATED_TIME"]);
  EXPECT_FALSE(store_test::Exists(dir / "missing"));
  EXPECT_TRUE(log.contains("Attibutes: Error - cannot open attributes file for writting: '" + nowhere + "' (2)\n"))
      << log.text();
}

TEST_F(KeyValueStoreTest, SaveWritesEntriesInKeyOrderAndStampsTheUpdateTime) {
  KeyValueStore store;
  EXPECT_TRUE(store.Add("ZETA", "z"));
  EXPECT_TRUE(store.Add("ALPHA", "a"));
  EXPECT_TRUE(store.Add("Mixed", "m"));
  EXPECT_TRUE(store.IsModified());
  EXPECT_TRUE(store.Save(file.c_str()));
  EXPECT_FALSE(store.IsModified());
  std::string updated = store.GetString("UPDATED_TIME", "");
  EXPECT_TRUE(IsTimeText(updated));
  EXPECT_EQ("ALPHA=a\nMixed=m\nUPDATED_TIME=" + updated + "\nZETA=z\n", ReadText(file));
}

TEST_F(KeyValueStoreTest, UnchangedValueLeavesTheStoreUnmodified) {
  WriteText(file, "K=1\nUPDATED_TIME=then\n");
  KeyValueStore store(file.c_str());
  EXPECT_TRUE(store.Add("K", "1"));
  EXPECT_FALSE(store.IsModified());
  EXPECT_TRUE(store.Save());
  EXPECT_EQ("K=1\nUPDATED_TIME=then\n", ReadText(file));

  EXPECT_TRUE(store.Add("K", std::string("2")));
  EXPECT_TRUE(store.IsModified());
  EXPECT_TRUE(store.Save());
  EXPECT_NE(std::string::npos, ReadText(file).find("K=2\n"));
  EXPECT_EQ(std::string::npos, ReadText(file).find("UPDATED_TIME=then"));
}

TEST_F(KeyValueStoreTest, AddingAnEmptyValueForAMissingKeyIsNoChange) {
  KeyValueStore store;
  EXPECT_TRUE(store.Add("NEW", ""));
  EXPECT_FALSE(store.IsModified());
  EXPECT_STREQ("", store["NEW"]);
}

TEST_F(KeyValueStoreTest, GettersConvertLikeTheCLibrary) {
  WriteText(file,
            "NUM=12abc\nNEG=-7\nEMPTY=\nWORD=abc\nHEX1=0x1F\nHEX2=1F\nHEXBIG=FFFFFFFF\nB2=2\nBYES=yes\nBTRUE=true\n"
            "B1=1\nD=2.5x\nHUGE=99999999999\n");
  KeyValueStore store(file.c_str());
  EXPECT_EQ(12, store.GetInt("NUM", 5));
  EXPECT_EQ(-7, store.GetInt("NEG", 5));
  EXPECT_EQ(5, store.GetInt("EMPTY", 5));
  EXPECT_EQ(0, store.GetInt("WORD", 5));
  EXPECT_EQ(2147483647, store.GetInt("HUGE", 5));
  EXPECT_EQ(31u, store.GetHex("HEX1", 9));
  EXPECT_EQ(31u, store.GetHex("HEX2", 9));
  EXPECT_EQ(0xFFFFFFFFu, store.GetHex("HEXBIG", 9));
  EXPECT_EQ(9u, store.GetHex("EMPTY", 9));
  EXPECT_TRUE(store.GetBOOL("B2", false));
  EXPECT_TRUE(store.GetBOOL("B1", false));
  EXPECT_FALSE(store.GetBOOL("BYES", true));
  EXPECT_FALSE(store.GetBOOL("BTRUE", true));
  EXPECT_TRUE(store.GetBOOL("EMPTY", true));
  EXPECT_DOUBLE_EQ(2.5, store.GetDouble("D", 1.0));
  EXPECT_DOUBLE_EQ(1.0, store.GetDouble("EMPTY", 1.0));
  EXPECT_EQ("12abc", store.GetString("NUM", "d"));
  EXPECT_EQ("", store.GetString("EMPTY", "d"));
  EXPECT_EQ("d", store.GetString("ABSENT", "d"));
  EXPECT_EQ("", store.GetString("ABSENT", nullptr));
  EXPECT_EQ(nullptr, store["ABSENT"]);
  EXPECT_FALSE(store.IsModified());
}

TEST_F(KeyValueStoreTest, NumericGetterCreatesAMissingKeyThatASaveWrites) {
  KeyValueStore store;
  struct {
    const char* key;
    bool (*get)(KeyValueStore&, const char*);
  } getters[] = {
      {"I", [](KeyValueStore& s, const char* k) { return s.GetInt(k, 4) == 4; }},
      {"H", [](KeyValueStore& s, const char* k) { return s.GetHex(k, 4) == 4u; }},
      {"B", [](KeyValueStore& s, const char* k) { return s.GetBOOL(k, true); }},
      {"D", [](KeyValueStore& s, const char* k) { return s.GetDouble(k, 4.0) == 4.0; }},
  };
  for (const auto& getter : getters) {
    SCOPED_TRACE(getter.key);
    EXPECT_TRUE(getter.get(store, getter.key));
    EXPECT_STREQ("", store[getter.key]);
  }
  EXPECT_EQ("d", store.GetString("S", "d"));
  EXPECT_EQ(nullptr, store["S"]);
  EXPECT_FALSE(store.IsModified());
  EXPECT_TRUE(store.Save(file.c_str()));
  EXPECT_EQ("B=\nD=\nH=\nI=\n", ReadText(file));
}

TEST_F(KeyValueStoreTest, AddOverloadsFormatTheirValues) {
  KeyValueStore store;
  std::string text = "text";
  EXPECT_TRUE(store.Add("S", text));
  EXPECT_TRUE(store.Add("C", "chars"));
  EXPECT_TRUE(store.Add("N", nullptr));
  EXPECT_TRUE(store.Add("I", -42));
  EXPECT_TRUE(store.Add("D", 1.5));
  EXPECT_TRUE(store.AddHex("H", 0x1F));
  EXPECT_EQ((Entries{{"C", "chars"}, {"D", "1.500000"}, {"H", "0x0000001F"}, {"I", "-42"}, {"N", ""}, {"S", "text"}}),
            store.Entries());
}

TEST_F(KeyValueStoreTest, MergeClearAndCopy) {
  KeyValueStore empty;
  KeyValueStore store;
  EXPECT_TRUE(store.Add(empty));
  EXPECT_FALSE(store.IsModified());

  WriteText(file, "A=1\nB=2\n");
  KeyValueStore loaded(file.c_str());
  EXPECT_TRUE(store.Add("B", "old"));
  EXPECT_TRUE(store.Add("C", "3"));
  EXPECT_TRUE(store.Add(loaded));
  EXPECT_EQ((Entries{{"A", "1"}, {"B", "2"}, {"C", "3"}}), store.Entries());

  KeyValueStore copy(loaded);
  EXPECT_EQ(file, copy.Filename());
  EXPECT_EQ(loaded.Entries(), copy.Entries());
  EXPECT_FALSE(copy.IsModified());
  EXPECT_TRUE(copy.Add("A", "changed"));
  EXPECT_STREQ("1", loaded["A"]);
  KeyValueStore assigned;
  assigned = copy;
  EXPECT_TRUE(assigned.IsModified());
  EXPECT_STREQ("changed", assigned["A"]);

  EXPECT_TRUE(loaded.Clear());
  EXPECT_TRUE(loaded.Entries().empty());
  EXPECT_TRUE(loaded.IsModified());
}

TEST_F(KeyValueStoreTest, SaveWithoutAnyNameWritesDotSettingsInTheWorkingDirectory) {
  WorkingDirectory cwd(dir.path());
  ASSERT_TRUE(cwd.ok());
  LogCapture log(DEBUG_Attributes);
  KeyValueStore store;
  EXPECT_TRUE(store.Add("K", "v"));
  EXPECT_TRUE(store.Save());
  EXPECT_EQ(".settings", store.Filename());
  EXPECT_EQ(0u, ReadText(dir / ".settings").find("K=v\nUPDATED_TIME="));
  EXPECT_TRUE(log.contains("Attibutes: no filename given for attributes, using default:[.settings]\n")) << log.text();
}

TEST_F(KeyValueStoreTest, SaveGoesToTheFileLastLoaded) {
  WriteText(file, "K=1\n");
  KeyValueStore store(file.c_str());
  EXPECT_TRUE(store.Add("K", "2"));
  EXPECT_TRUE(store.Save());
  EXPECT_EQ(0u, ReadText(file).find("K=2\n"));
  std::string other = dir / "other";
  EXPECT_TRUE(store.Save(other.c_str()));
  EXPECT_EQ(other, store.Filename());
}

// A save that fails part-way (here: the file size limit, as on a full disk) must leave the old
// file exactly as it was, leave no temporary file behind and keep the store marked modified.
TEST_F(KeyValueStoreTest, FailedSaveLeavesTheOldFileIntact) {
  const std::string old = "CREATED_TIME=Sat Dec  5 21:20:24 2026\nK=old\n";
  WriteText(file, old);
  KeyValueStore store(file.c_str());
  EXPECT_TRUE(store.Add("BIG", std::string(10000, 'b')));
  LogCapture log(DEBUG_Attributes);
  {
    FileSizeLimit limit(4096);
    ASSERT_TRUE(limit.ok());
    EXPECT_FALSE(store.Save());
  }
  EXPECT_EQ(old, ReadText(file));
  EXPECT_EQ(std::set<std::string>{"settings"}, ListNames(dir.path()));
  EXPECT_TRUE(store.IsModified());
  EXPECT_TRUE(log.contains("Attibutes: Error - cannot write attributes file: '" + file + "' (27)\n")) << log.text();

  EXPECT_TRUE(store.Save());  // without the limit the same save succeeds
  EXPECT_FALSE(store.IsModified());
  EXPECT_NE(std::string::npos, ReadText(file).find("BIG=" + std::string(10000, 'b') + "\n"));
  EXPECT_EQ(std::set<std::string>{"settings"}, ListNames(dir.path()));
}

// A long line survives a load and a save: every key of the file is still there afterwards.
TEST_F(KeyValueStoreTest, LongLineSurvivesLoadAndSave) {
  const std::string longValue(5000, 'v');
  WriteText(file, "A=1\nLONG=" + longValue + "\nZ=26\n");
  KeyValueStore store(file.c_str());
  EXPECT_TRUE(store.Add("NEW", "x"));
  ASSERT_TRUE(store.Save());
  KeyValueStore reread(file.c_str());
  EXPECT_EQ(longValue, reread.GetString("LONG", nullptr));
  EXPECT_EQ("26", reread.GetString("Z", nullptr));
  EXPECT_EQ("x", reread.GetString("NEW", nullptr));
}

// A settings file that is there but cannot be read (a FIFO, which must not block the load; a
// directory) is reported and never replaced.
TEST_F(KeyValueStoreTest, UnreadableFileIsReportedAndNeverReplaced) {
  ASSERT_EQ(0, mkfifo((dir / "fifo").c_str(), 0644));
  store_test::MakeDirectory(dir / "directory");
  for (const char* name : {"fifo", "directory"}) {
    SCOPED_TRACE(name);
    std::string path = dir / name;
    KeyValueStore store;
    EXPECT_FALSE(store.Load(path.c_str()));
    EXPECT_FALSE(store.IsReadable());
    EXPECT_TRUE(store.Add("K", "v"));
    EXPECT_FALSE(store.Save());
    EXPECT_STREQ("it could not be read, so it is left as it is", store.SaveProblem());
    struct stat info;
    ASSERT_EQ(0, lstat(path.c_str(), &info));
    EXPECT_TRUE(S_ISFIFO(info.st_mode) || S_ISDIR(info.st_mode));
  }
}

// Two runs that loaded the same file each save their own keys: neither loses the other's.
TEST_F(KeyValueStoreTest, ConcurrentSavesKeepEachOthersKeys) {
  WriteText(file, "CREATED_TIME=Sat Dec  5 21:20:24 2026\nSHARED=old\n");
  KeyValueStore download(file.c_str());
  KeyValueStore transfer(file.c_str());
  EXPECT_TRUE(download.Add("LATEST_DOWNLOAD", "1240.bird"));
  EXPECT_TRUE(transfer.Add("LATEST_TRANSFER", "1234.bird"));
  EXPECT_TRUE(transfer.Add("SHARED", "new"));
  ASSERT_TRUE(download.Save());
  ASSERT_TRUE(transfer.Save());
  KeyValueStore reread(file.c_str());
  EXPECT_EQ("1240.bird", reread.GetString("LATEST_DOWNLOAD", nullptr));
  EXPECT_EQ("1234.bird", reread.GetString("LATEST_TRANSFER", nullptr));
  EXPECT_EQ("new", reread.GetString("SHARED", nullptr));
  EXPECT_EQ("Sat Dec  5 21:20:24 2026", reread.GetString("CREATED_TIME", nullptr));
  EXPECT_EQ(std::set<std::string>{"settings"}, ListNames(dir.path()));  // no lock file left
}

// A lock that another run holds too long ends the save with a reason, not a hang.
TEST_F(KeyValueStoreTest, LockHeldTooLongFailsTheSave) {
  WriteText(file, "K=old\n");
  KeyValueStore store(file.c_str());
  EXPECT_TRUE(store.Add("K", "new"));
  std::string lockPath = file + ".lock";
  int holder = open(lockPath.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(0, flock(holder, LOCK_EX));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(store.Save());
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(KeyValueStore::LOCK_WAIT_MS - 100));
  EXPECT_LT(waited, std::chrono::milliseconds(KeyValueStore::LOCK_WAIT_MS + 5000));  // hang guard
  EXPECT_STREQ("another run held its lock too long", store.SaveProblem());
  EXPECT_EQ("K=old\n", ReadText(file));
  close(holder);
  EXPECT_TRUE(store.Save());
  EXPECT_NE(std::string::npos, ReadText(file).find("K=new\n"));
}

// A lock file that is not a regular file (a FIFO, whose open could wait for a writer; a
// directory; a link) is neither opened blocking nor locked nor removed: the save ends at once with a reason.
TEST_F(KeyValueStoreTest, LockFileThatIsNoRegularFileFailsTheSave) {
  const std::string lockPath = file + ".lock";
  // A link, whether it leads nowhere or to a file, is not followed: its target is neither created
  // nor locked.
  const std::string target = file + ".elsewhere";
  for (const char* kind : {"fifo", "directory", "dangling link", "link"}) {
    SCOPED_TRACE(kind);
    WriteText(file, "K=old\n");
    const std::string what(kind);
    if (what == "fifo") {
      ASSERT_EQ(0, mkfifo(lockPath.c_str(), 0444));
    } else if (what == "directory") {
      store_test::MakeDirectory(lockPath);
    } else {
      if (what == "link") WriteText(target, "");
      ASSERT_EQ(0, symlink(target.c_str(), lockPath.c_str()));
    }
    KeyValueStore store(file.c_str());
    EXPECT_TRUE(store.Add("K", "new"));
    auto saved = std::async(std::launch::async, [&store] { return store.Save(); });
    ASSERT_EQ(std::future_status::ready, saved.wait_for(std::chrono::seconds(10)));  // hang guard
    EXPECT_FALSE(saved.get());
    EXPECT_STREQ("its lock file is not a regular file", store.SaveProblem());
    EXPECT_EQ("K=old\n", ReadText(file));
    struct stat info;
    ASSERT_EQ(0, lstat(lockPath.c_str(), &info));
    EXPECT_TRUE(S_ISFIFO(info.st_mode) || S_ISDIR(info.st_mode) || S_ISLNK(info.st_mode));
    ASSERT_EQ(0, remove(lockPath.c_str()));
    EXPECT_EQ(what == "link", store_test::Exists(target));
    (void)remove(target.c_str());
  }
}

}  // namespace
