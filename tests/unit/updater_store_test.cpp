// The local store: device directories, their settings files, the search by serial number, stored
// bird files and their writing.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "store/StoreFolder.h"
#include "store/UpdaterStore.h"
#include "store_test_support.h"

using store_test::Exists;
using store_test::FileSizeLimit;
using store_test::IsDirectory;
using store_test::ListNames;
using store_test::LogCapture;
using store_test::MakeBird;
using store_test::MakeDirectory;
using store_test::ReadText;
using store_test::TempDir;
using store_test::WriteText;

namespace {

const char* const kTimeText = "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}";

std::string ErrorText(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "(no exception)";
}

class UpdaterStoreTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string root = dir / "store";
};

TEST_F(UpdaterStoreTest, ConstructorCreatesTheRootWithItsParents) {
  std::string nested = dir / "a/b/updater";
  LogCapture log(DEBUG_Updater);
  UpdaterStore store(nested.c_str());
  EXPECT_STREQ(nested.c_str(), store.BasePath());
  EXPECT_TRUE(IsDirectory(nested));
  UpdaterStore again(nested.c_str());
  EXPECT_EQ("UpdaterStore: Created directory [" + nested + "].\n" + "UpdaterStore: [" + nested + "] already exists.\n",
            log.text());
}

TEST_F(UpdaterStoreTest, ConstructorRefusesPathsThatCannotBeDirectories) {
  WriteText(dir / "file", "x");
  EXPECT_EQ("UpdaterStore: " + (dir / "file") + " exists and is a file",
            ErrorText([&] { UpdaterStore store((dir / "file").c_str()); }));
  EXPECT_EQ("UpdaterStore: Could not create directory " + (dir / "file/updater") + " error 12",
            ErrorText([&] { UpdaterStore store((dir / "file/updater").c_str()); }));
}

TEST_F(UpdaterStoreTest, AddDeviceCreatesTheDirectoryAndItsSettingsFile) {
  UpdaterStore store(root.c_str());
  UpdaterStoreItem item = store.AddDevice(0x0012ABCDu);
  EXPECT_TRUE(item.IsValid());
  EXPECT_EQ(STORE_ITEM_DIRECTORY, item.type);
  EXPECT_EQ(root, item.path);
  EXPECT_EQ("0012ABCD", item.name);
  EXPECT_TRUE(IsDirectory(root + "/0012ABCD"));
  std::string settings = ReadText(root + "/0012ABCD/.settings");
  EXPECT_TRUE(std::regex_match(settings, std::regex(std::string("CREATED_TIME=") + kTimeText + "\nUPDATED_TIME=" +
                                                    kTimeText + "\n")))
      << settings;
  EXPECT_EQ(root + "/0012ABCD/.settings", item.settings.Filename());
  EXPECT_FALSE(item.settings.IsModified());
}

TEST_F(UpdaterStoreTest, AddDeviceOnAnExistingDeviceKeepsItsSettings) {
  UpdaterStore store(root.c_str());
  UpdaterStoreItem first = store.AddDevice(0x0012ABCDu);
  EXPECT_TRUE(first.settings.Add("LATEST_DOWNLOAD", "1234.bird"));
  EXPECT_TRUE(first.settings.Save());
  UpdaterStoreItem second = store.AddDevice("0012ABCD");
  EXPECT_EQ("1234.bird", second.settings.GetString("LATEST_DOWNLOAD", ""));
}

TEST_F(UpdaterStoreTest, AddDeviceRefusesNamesOutsideTheRoot) {
  UpdaterStore store(root.c_str());
  for (const char* name : {"", "..", ".", "../escape", "a/b"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(store.AddDevice(name), std::runtime_error);
  }
  EXPECT_THROW(store.AddDevice(static_cast<const char*>(nullptr)), std::runtime_error);
  EXPECT_FALSE(Exists(dir / "escape"));
  EXPECT_EQ(std::set<std::string>{}, ListNames(root));
}

TEST_F(UpdaterStoreTest, FindDeviceMatchesEntryNamesContainingTheSerialText) {
  struct {
    const char* name;
    std::vector<std::string> directories;
    std::vector<std::string> files;
    bool found;
    const char* foundName;
    store_item_t type;
  } cases[] = {
      {"exact directory", {"0012ABCD"}, {}, true, "0012ABCD", STORE_ITEM_DIRECTORY},
      {"longer name", {"0012ABCD.old"}, {}, true, "0012ABCD.old", STORE_ITEM_DIRECTORY},
      {"neighbouring serial", {"0012ABCE"}, {}, false, "", STORE_ITEM_NONE},
      {"lower case", {"0012abcd"}, {}, false, "", STORE_ITEM_NONE},
      {"plain file", {}, {"0012ABCD.txt"}, true, "0012ABCD.txt", STORE_ITEM_FILE},
      {"empty root", {}, {}, false, "", STORE_ITEM_NONE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir caseDir;
    std::string caseRoot = caseDir / "root";
    UpdaterStore store(caseRoot.c_str());
    for (const std::string& name : c.directories) MakeDirectory(caseRoot + "/" + name);
    for (const std::string& name : c.files) WriteText(caseRoot + "/" + name, "x");
    UpdaterStoreItem item;
    LogCapture log(DEBUG_Updater);
    EXPECT_EQ(c.found, store.FindDevice(0x0012ABCDu, &item));
    EXPECT_EQ(c.foundName, item.name);
    EXPECT_EQ(c.type, item.type);
    EXPECT_EQ(c.found ? caseRoot : "", item.path);
    EXPECT_TRUE(log.contains(std::string("UpdaterStore: FindDevice ") + (c.found ? "Found" : "Not Found") +
                             " 0012ABCD.\n"))
        << log.text();
    EXPECT_EQ(c.found, store.FindDevice("0012ABCD", nullptr));
  }
}

TEST_F(UpdaterStoreTest, FindDeviceLogsEveryEntryItLooksAt) {
  UpdaterStore store(root.c_str());
  WriteText(root + "/notes", "12345");
  LogCapture log(DEBUG_Updater);
  EXPECT_FALSE(store.FindDevice(0x0012ABCDu, nullptr));
  EXPECT_TRUE(log.contains("_find_item([" + root + "/notes], 0, 5) searching for 0012ABCD\n")) << log.text();
  EXPECT_TRUE(log.contains("_find_item([" + root + "/.], 1, ")) << log.text();
}

// A root whose own path contains the serial text must not make "." or ".." a device.
TEST_F(UpdaterStoreTest, FindDeviceIgnoresTheRootsOwnPath) {
  std::string serialRoot = dir / "0012ABCD/store";
  UpdaterStore store(serialRoot.c_str());
  UpdaterStoreItem item;
  EXPECT_FALSE(store.FindDevice(0x0012ABCDu, &item));
  EXPECT_FALSE(item.IsValid());
  EXPECT_FALSE(Exists(serialRoot + "/.settings"));
  UpdaterStoreItem device = store.AddDevice(0x0012ABCDu);
  EXPECT_TRUE(store.FindDevice(0x0012ABCDu, &item));
  EXPECT_EQ(serialRoot, item.path);
  EXPECT_EQ("0012ABCD", item.name);
}

TEST_F(UpdaterStoreTest, FoundItemCarriesTheDevicesSettings) {
  UpdaterStore store(root.c_str());
  UpdaterStoreItem added = store.AddDevice(0x0012ABCDu);
  EXPECT_TRUE(added.settings.Add("LATEST_TRANSFER", "77.bird"));
  EXPECT_TRUE(added.settings.Save());
  UpdaterStoreItem found;
  ASSERT_TRUE(store.FindDevice(0x0012ABCDu, &found));
  EXPECT_EQ(77, found.settings.GetInt("LATEST_TRANSFER", 0));
}

TEST_F(UpdaterStoreTest, FindLocalBuildsListsTheVisibleEntries) {
  UpdaterStore store(root.c_str());
  UpdaterStoreItem device = store.AddDevice(0x0012ABCDu);
  WriteText(root + "/0012ABCD/1234.bird", "a");
  WriteText(root + "/0012ABCD/1240.bird", "b");
  WriteText(root + "/0012ABCD/.hidden", "c");
  MakeDirectory(root + "/0012ABCD/sub");
  std::vector<UpdaterStoreItem> items;
  EXPECT_TRUE(store.FindLocalBuilds(0x0012ABCDu, items));
  std::set<std::string> names;
  for (const UpdaterStoreItem& item : items) {
    names.insert(item.name);
    EXPECT_EQ(root + "/0012ABCD", item.path);
    EXPECT_EQ(item.name == "sub" ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE, item.type);
  }
  EXPECT_EQ((std::set<std::string>{"1234.bird", "1240.bird", "sub"}), names);

  std::vector<UpdaterStoreItem> none;
  EXPECT_TRUE(store.FindLocalBuilds(0x0BADBEEFu, none));
  EXPECT_TRUE(none.empty());
}

TEST_F(UpdaterStoreTest, ReadBirdFileRefusesMissingAndForeignFiles) {
  UpdaterStore store(root.c_str());
  UpdaterStoreItem item = store.AddDevice(0x0012ABCDu);
  const std::string device = root + "/0012ABCD/";
  const std::string info = "--info=build=42,version=1.0,serial=0x0012ABCD,model=Osprey";
  MakeBird(device + "zero-version.bird", {info, "--format-version", "0x0100"});
  MakeBird(device + "foreign.bird", {info, "--signature", "BIRD"});
  MakeBird(device + "short.bird", {info, "--truncate-file", "5"});
  MakeBird(device + "corrupt.bird", {info, "--corrupt-zlib", "adler"});
  MakeBird(device + "42.bird", {"--firmware", "0:count:16", info});
  struct {
    const char* file;
    std::string error;
  } cases[] = {
      {"41.bird", "Invalid bird " + device + "41.bird"},
      {"zero-version.bird", "Invalid bird " + device + "zero-version.bird"},
      {"foreign.bird", "Invalid bird " + device + "foreign.bird"},
      {"short.bird", "Invalid bird " + device + "short.bird"},
      {"corrupt.bird", "Failed to load bird data"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(c.error, ErrorText([&] { BirdFile bird = item.ReadBirdFile(c.file); }));
  }
  BirdFile bird = item.ReadBirdFile("42.bird");
  EXPECT_EQ(device + "42.bird", bird.filename);
  EXPECT_EQ(42u, bird.GetBuild());
  EXPECT_EQ(2u, bird.blockCount);
}

// A link in the store, as a build or as the device folder, leads out of the store: a bird file
// there is never read, though the same file is read through its own path.
TEST_F(UpdaterStoreTest, ReadBirdFileFollowsNoLink) {
  UpdaterStore store(root.c_str());
  UpdaterStoreItem item = store.AddDevice(0x0012ABCDu);
  const std::string outside = dir / "outside";
  MakeDirectory(outside);
  MakeBird(outside + "/42.bird", {"--firmware", "0:count:16", "--info=build=42,version=1.0,serial=0x0012ABCD"});
  ASSERT_EQ(0, symlink((outside + "/42.bird").c_str(), (root + "/0012ABCD/42.bird").c_str()));
  EXPECT_EQ("Invalid bird " + root + "/0012ABCD/42.bird", ErrorText([&] { BirdFile bird = item.ReadBirdFile("42.bird"); }));
  ASSERT_EQ(0, symlink(outside.c_str(), (root + "/0012ABCE").c_str()));
  UpdaterStoreItem linked(root.c_str(), "0012ABCE", STORE_ITEM_DIRECTORY);
  EXPECT_EQ("Invalid bird " + root + "/0012ABCE/42.bird", ErrorText([&] { BirdFile bird = linked.ReadBirdFile("42.bird"); }));
  EXPECT_EQ(42u, BirdFile((outside + "/42.bird").c_str()).GetBuild());
}

// Folders the store makes are its user's alone; one that others may write into, or that is a
// link, is refused with the fix.
TEST_F(UpdaterStoreTest, FoldersAreMadePrivateAndUnsafeOnesRefused) {
  const mode_t mask = umask(0);
  {
    UpdaterStore store(root.c_str());
    (void)store.AddDevice(0x0012ABCDu);
  }
  umask(mask);
  struct stat info;
  ASSERT_EQ(0, stat(root.c_str(), &info));
  EXPECT_EQ(0700u, info.st_mode & 07777);
  ASSERT_EQ(0, stat((root + "/0012ABCD").c_str(), &info));
  EXPECT_EQ(0700u, info.st_mode & 07777);
  EXPECT_EQ("", StoreProblem(root));

  ASSERT_EQ(0, chmod((root + "/0012ABCD").c_str(), 0770));
  const std::string openDevice = "Refusing the device folder " + root + "/0012ABCD: group or others can write to it "
                                 "(mode 0770); fix it with: chmod go-w " + root + "/0012ABCD";
  EXPECT_EQ(openDevice, StoreProblem(root));
  EXPECT_EQ(openDevice, ErrorText([&] { UpdaterStore(root.c_str()).AddDevice(0x0012ABCDu); }));
  ASSERT_EQ(0, chmod((root + "/0012ABCD").c_str(), 0700));

  ASSERT_EQ(0, symlink(dir.path().c_str(), (root + "/0012ABCE").c_str()));
  const std::string link = "Refusing the device folder " + root + "/0012ABCE: it is a link; fix it with: rm " + root +
                           "/0012ABCE";
  EXPECT_EQ(link, StoreProblem(root));
  EXPECT_EQ(link, ErrorText([&] { UpdaterStore(root.c_str()).AddDevice(0x0012ABCEu); }));
  ASSERT_EQ(0, unlink((root + "/0012ABCE").c_str()));

  ASSERT_EQ(0, chmod(root.c_str(), 0702));
  const std::string openStore = "Refusing the store folder " + root + ": group or others can write to it (mode 0702); "
                                "fix it with: chmod go-w " + root;
  EXPECT_EQ(openStore, StoreProblem(root));
  EXPECT_EQ(openStore, ErrorText([&] { UpdaterStore store(root.c_str()); }));
  // Through a link the store folder is judged by where it leads.
  const std::string linkedRoot = dir / "linked";
  ASSERT_EQ(0, symlink(root.c_str(), linkedRoot.c_str()));
  EXPECT_EQ("Refusing the store folder " + linkedRoot + ": group or others can write to it (mode 0702); fix it "
            "with: chmod go-w " + linkedRoot, StoreFolderProblem(linkedRoot));
  ASSERT_EQ(0, chmod(root.c_str(), 0755));
  EXPECT_EQ("", StoreFolderProblem(linkedRoot));
}

// An item that refers to nothing must not read a file of that name from the working directory.
TEST_F(UpdaterStoreTest, DefaultItemRefersToNothing) {
  MakeBird(dir / "42.bird", {"--info=build=42,version=1.0,serial=0x1,model=Osprey"});
  store_test::WorkingDirectory cwd(dir.path());
  ASSERT_TRUE(cwd.ok());
  UpdaterStoreItem item;
  EXPECT_FALSE(item.IsValid());
  EXPECT_EQ(STORE_ITEM_NONE, item.type);
  EXPECT_TRUE(item.settings.Entries().empty());
  EXPECT_EQ("", item.settings.Filename());
  EXPECT_EQ("Invalid bird 42.bird", ErrorText([&] { BirdFile bird = item.ReadBirdFile("42.bird"); }));
  const unsigned char data[] = {1, 2, 3};
  EXPECT_EQ(aErrNotFound, item.WriteFile("new.bird", data, sizeof data));
  EXPECT_FALSE(Exists(dir / "new.bird"));
  EXPECT_FALSE(Exists(dir / ".settings"));
}

TEST_F(UpdaterStoreTest, ItemsAreValuesWithTheirOwnSettings) {
  UpdaterStore store(root.c_str());
  UpdaterStoreItem original = store.AddDevice(0x0012ABCDu);
  UpdaterStoreItem copy(original);
  EXPECT_TRUE(copy.settings.Add("K", "copy"));
  EXPECT_EQ(nullptr, original.settings["K"]);
  UpdaterStoreItem assigned;
  assigned = copy;
  EXPECT_EQ(original.path, assigned.path);
  EXPECT_EQ(original.name, assigned.name);
  EXPECT_EQ(STORE_ITEM_DIRECTORY, assigned.type);
  EXPECT_STREQ("copy", assigned.settings["K"]);
  EXPECT_TRUE(assigned.settings.IsModified());
}

TEST_F(UpdaterStoreTest, WriteFileStoresTheBytes) {
  UpdaterStore store(root.c_str());
  UpdaterStoreItem item = store.AddDevice(0x0012ABCDu);
  const std::string path = root + "/0012ABCD/1234.bird";
  const unsigned char first[] = {'b', 'i', 'r', 'd', 0, 1};
  EXPECT_EQ(aErrNone, item.WriteFile("1234.bird", first, sizeof first));
  EXPECT_EQ(std::string("bird\0\1", 6), ReadText(path));
  const unsigned char second[] = {'n', 'e', 'w'};
  EXPECT_EQ(aErrNone, item.WriteFile("1234.bird", second, sizeof second));
  EXPECT_EQ("new", ReadText(path));
  EXPECT_TRUE(item.FileExists("1234.bird"));
  EXPECT_FALSE(item.FileExists("1240.bird"));
}

TEST_F(UpdaterStoreTest, WriteFileWithNullDataCreatesNothing) {
  UpdaterStore store(root.c_str());
  UpdaterStoreItem item = store.AddDevice(0x0012ABCDu);
  EXPECT_EQ(aErrNotFound, item.WriteFile("1234.bird", nullptr, 10));
  EXPECT_EQ(aErrNotFound, item.WriteFile(nullptr, reinterpret_cast<const unsigned char*>("x"), 1));
  EXPECT_EQ(std::set<std::string>{".settings"}, ListNames(root + "/0012ABCD"));
}

TEST_F(UpdaterStoreTest, WriteFileIntoAVanishedDirectoryFails) {
  UpdaterStore store(root.c_str());
  UpdaterStoreItem item = store.AddDevice(0x0012ABCDu);
  ASSERT_EQ(0, remove((root + "/0012ABCD/.settings").c_str()));
  ASSERT_EQ(0, remove((root + "/0012ABCD").c_str()));
  const unsigned char data[] = {1};
  EXPECT_EQ(aErrNotFound, item.WriteFile("1234.bird", data, sizeof data));
}

// A download written over a stored build must never leave it half-written.
TEST_F(UpdaterStoreTest, WriteFileFailingPartWayLeavesTheStoredBuildIntact) {
  UpdaterStore store(root.c_str());
  UpdaterStoreItem item = store.AddDevice(0x0012ABCDu);
  const std::string path = root + "/0012ABCD/1234.bird";
  WriteText(path, "the stored build");
  std::vector<unsigned char> download(200000, 0x5A);
  {
    FileSizeLimit limit(65536);
    ASSERT_TRUE(limit.ok());
    EXPECT_EQ(aErrIO, item.WriteFile("1234.bird", download.data(), download.size()));
  }
  EXPECT_EQ("the stored build", ReadText(path));
  EXPECT_EQ((std::set<std::string>{".settings", "1234.bird"}), ListNames(root + "/0012ABCD"));
}

}  // namespace
