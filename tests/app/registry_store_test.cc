// The registry as registration relies on it. The same tests run against the
// file-backed store on Linux and against wine's registry on Windows, so the
// store is held to the behaviour of the real thing: names without regard to
// letter case, values with type and bytes, and the same error codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "support/test_support.h"

namespace ts = testing_support;

namespace {

class RegistryStore : public ::testing::Test {
 protected:
  void SetUp() override {
    config_ = std::make_unique<ts::ScopedEnv>("XDG_CONFIG_HOME", home_.File("config"));
    std::random_device rd;
    std::ostringstream name;
    name << "KelvoTest-" << std::hex << rd();
    root_ = name.str();
  }

  void TearDown() override {
    DeleteTree(root_);
    config_.reset();
  }

  static void DeleteTree(const std::string& path) {
    plat::Registry& reg = plat::registry();
    plat::RegKey key = 0;
    if (reg.OpenKey(plat::kHkeyClassesRoot, path.c_str(), true, &key) != 0) return;
    std::vector<std::string> children;
    char name[256];
    for (uint32_t i = 0; reg.EnumKey(key, i, name, sizeof name) == 0; ++i) children.push_back(name);
    reg.CloseKey(key);
    for (const auto& child : children) DeleteTree(path + "\\" + child);
    reg.DeleteKey(plat::kHkeyClassesRoot, path.c_str());
  }

  plat::RegKey Create(const std::string& sub) {
    plat::RegKey key = 0;
    EXPECT_EQ(plat::registry().CreateKey(plat::kHkeyClassesRoot, (root_ + sub).c_str(), &key), 0)
        << sub;
    return key;
  }

  ts::TempDir home_;
  std::unique_ptr<ts::ScopedEnv> config_;
  std::string root_;
};

TEST_F(RegistryStore, NamesCompareWithoutLetterCaseAndKeepTheirOwn) {
  plat::Registry& reg = plat::registry();
  plat::RegKey key = Create("\\Shell\\Open");
  ASSERT_EQ(reg.SetValue(key, "Name", plat::kRegSz, "one", 4), 0);
  ASSERT_EQ(reg.SetValue(key, "NAME", plat::kRegSz, "two", 4), 0);
  reg.CloseKey(key);

  plat::RegKey again = 0;
  std::string upper = root_ + "\\SHELL\\open";
  ASSERT_EQ(reg.OpenKey(plat::kHkeyClassesRoot, upper.c_str(), false, &again), 0);
  char data[16];
  uint32_t size = sizeof data;
  uint32_t type = 0;
  ASSERT_EQ(reg.QueryValue(again, "name", &type, data, &size), 0);
  EXPECT_EQ(std::string(data, size), std::string("two", 4));
  char name[64];
  uint32_t nameSize = sizeof name;
  ASSERT_EQ(reg.EnumValue(again, 0, name, &nameSize, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(std::string(name, nameSize), "Name");
  nameSize = sizeof name;
  EXPECT_EQ(reg.EnumValue(again, 1, name, &nameSize, nullptr, nullptr, nullptr),
            plat::kErrorNoMoreItems);
  reg.CloseKey(again);

  plat::RegKey top = 0;
  ASSERT_EQ(reg.OpenKey(plat::kHkeyClassesRoot, root_.c_str(), false, &top), 0);
  ASSERT_EQ(reg.EnumKey(top, 0, name, sizeof name), 0);
  EXPECT_STREQ(name, "Shell");
  EXPECT_EQ(reg.EnumKey(top, 1, name, sizeof name), plat::kErrorNoMoreItems);
  reg.CloseKey(top);
  // Creating under another case opens the same key rather than a second one.
  reg.CloseKey(Create("\\sHELL"));
  ASSERT_EQ(reg.OpenKey(plat::kHkeyClassesRoot, root_.c_str(), false, &top), 0);
  EXPECT_EQ(reg.EnumKey(top, 1, name, sizeof name), plat::kErrorNoMoreItems);
  reg.CloseKey(top);
}

TEST_F(RegistryStore, ValuesKeepTheirTypeAndEveryByte) {
  plat::Registry& reg = plat::registry();
  plat::RegKey key = Create("");
  const char binary[] = {'a', '\0', '\n', '\x1a', '\xff', '\0'};
  ASSERT_EQ(reg.SetValue(key, "bin", 3, binary, sizeof binary), 0);
  uint32_t dword = 0x01020304;
  ASSERT_EQ(reg.SetValue(key, "num", plat::kRegDword, &dword, 4), 0);
  ASSERT_EQ(reg.SetValue(key, nullptr, plat::kRegSz, "", 1), 0);

  uint32_t type = 0, size = 0;
  ASSERT_EQ(reg.QueryValue(key, "BIN", &type, nullptr, &size), 0);
  EXPECT_EQ(type, 3u);
  EXPECT_EQ(size, sizeof binary);
  char small[2];
  size = sizeof small;
  EXPECT_EQ(reg.QueryValue(key, "bin", &type, small, &size), plat::kErrorMoreData);
  EXPECT_EQ(size, sizeof binary);
  char data[16];
  size = sizeof data;
  ASSERT_EQ(reg.QueryValue(key, "bin", &type, data, &size), 0);
  EXPECT_EQ(std::string(data, size), std::string(binary, sizeof binary));
  size = sizeof data;
  ASSERT_EQ(reg.QueryValue(key, "num", &type, data, &size), 0);
  EXPECT_EQ(type, plat::kRegDword);
  EXPECT_EQ(std::string(data, size), std::string(reinterpret_cast<char*>(&dword), 4));
  size = sizeof data;
  ASSERT_EQ(reg.QueryValue(key, "", &type, data, &size), 0);
  EXPECT_EQ(size, 1u);
  reg.CloseKey(key);
}

TEST_F(RegistryStore, ErrorCodesAreTheRegistrysOwn) {
  plat::Registry& reg = plat::registry();
  plat::RegKey key = 0;
  std::string missing = root_ + "\\nothing";
  EXPECT_EQ(reg.OpenKey(plat::kHkeyClassesRoot, missing.c_str(), false, &key),
            plat::kErrorFileNotFound);
  EXPECT_EQ(reg.DeleteKey(plat::kHkeyClassesRoot, missing.c_str()), plat::kErrorFileNotFound);

  reg.CloseKey(Create("\\parent\\child"));
  key = Create("\\parent");
  char data[4];
  uint32_t size = sizeof data;
  EXPECT_EQ(reg.QueryValue(key, "absent", nullptr, data, &size), plat::kErrorFileNotFound);
  EXPECT_EQ(reg.DeleteValue(key, "absent"), plat::kErrorFileNotFound);
  reg.CloseKey(key);
  // A key with subkeys can't be deleted; once they are gone, it can.
  std::string parent = root_ + "\\parent";
  EXPECT_EQ(reg.DeleteKey(plat::kHkeyClassesRoot, parent.c_str()), plat::kErrorAccessDenied);
  EXPECT_EQ(reg.DeleteKey(plat::kHkeyClassesRoot, (parent + "\\CHILD").c_str()), 0);
  EXPECT_EQ(reg.DeleteKey(plat::kHkeyClassesRoot, parent.c_str()), 0);

  // A key opened for reading can't be written through.
  reg.CloseKey(Create("\\ro"));
  ASSERT_EQ(reg.OpenKey(plat::kHkeyClassesRoot, (root_ + "\\ro").c_str(), false, &key), 0);
  EXPECT_EQ(reg.SetValue(key, "v", plat::kRegSz, "x", 2), plat::kErrorAccessDenied);
  reg.CloseKey(key);
}

TEST_F(RegistryStore, NamesWithPathAndEscapeCharactersAreJustNames) {
  plat::Registry& reg = plat::registry();
  const std::vector<std::string> keys = {"a/b", "50%", "@home", ".hidden", "%41"};
  for (const auto& k : keys) reg.CloseKey(Create("\\" + k));
  plat::RegKey top = 0;
  ASSERT_EQ(reg.OpenKey(plat::kHkeyClassesRoot, root_.c_str(), true, &top), 0);
  std::vector<std::string> listed;
  char name[64];
  for (uint32_t i = 0; reg.EnumKey(top, i, name, sizeof name) == 0; ++i) listed.push_back(name);
  EXPECT_EQ(listed.size(), keys.size());
  for (const auto& k : keys) {
    EXPECT_NE(std::find(listed.begin(), listed.end(), k), listed.end()) << k;
  }
  // "%41" must not be taken for "A".
  plat::RegKey a = 0;
  EXPECT_EQ(reg.OpenKey(plat::kHkeyClassesRoot, (root_ + "\\A").c_str(), false, &a),
            plat::kErrorFileNotFound);
  ASSERT_EQ(reg.SetValue(top, "x\\y/z", plat::kRegSz, "v", 2), 0);
  char data[4];
  uint32_t size = sizeof data;
  EXPECT_EQ(reg.QueryValue(top, "X\\Y/Z", nullptr, data, &size), 0);
  reg.CloseKey(top);
}

TEST_F(RegistryStore, WritesLeaveNoTemporaryFilesBehind) {
  plat::Registry& reg = plat::registry();
  plat::RegKey key = Create("\\k");
  for (int i = 0; i < 5; ++i) ASSERT_EQ(reg.SetValue(key, "v", plat::kRegSz, "abc", 4), 0);
  reg.CloseKey(key);
  ASSERT_EQ(reg.DeleteKey(plat::kHkeyClassesRoot, (root_ + "\\k").c_str()), 0);
  // Whatever a backend keeps in files lives under XDG_CONFIG_HOME (Windows: nothing).
  int files = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(home_.File("config"), ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::string leaf = it->path().filename().string();
    EXPECT_NE(leaf.rfind(".tmp-", 0), 0u) << it->path();
    EXPECT_NE(leaf.rfind(".del-", 0), 0u) << it->path();
    ++files;
  }
  if (plat::kPathSeparator[0] == '/') {
    EXPECT_GT(files, 0) << "the store follows XDG_CONFIG_HOME";
  }
}

TEST_F(RegistryStore, KeysLeftUnderTwoLetterCasesAreOneKeyWhicheverCaseNamesIt) {
  if (plat::kPathSeparator[0] == '\\') GTEST_SKIP() << "the Windows registry can't hold two such keys";
  // Another hand left "kelvo" beside the store's own "Kelvo".
  plat::registry().CloseKey(Create("\\Kelvo"));
  std::filesystem::create_directory(home_.File("config/KelvoUpgrader/registry/HKEY_CLASSES_ROOT/" + root_ + "/kelvo"));
  plat::Registry& reg = plat::registry();
  plat::RegKey key = Create("\\kelvo\\s");
  ASSERT_EQ(reg.SetValue(key, "v", plat::kRegSz, "x", 2), 0);
  reg.CloseKey(key);
  for (const char* name : {"\\kelvo\\s", "\\KELVO\\S", "\\Kelvo\\s"}) {
    plat::RegKey again = 0;
    ASSERT_EQ(reg.OpenKey(plat::kHkeyClassesRoot, (root_ + name).c_str(), false, &again), 0) << name;
    uint32_t size = 0;
    EXPECT_EQ(reg.QueryValue(again, "V", nullptr, nullptr, &size), 0) << name;
    reg.CloseKey(again);
  }
}

TEST_F(RegistryStore, ARelativeConfigHomeIsIgnoredForTheOneUnderHome) {
  if (plat::kPathSeparator[0] == '\\') GTEST_SKIP() << "the Windows registry keeps no folder";
  // Were the relative value taken, it would name a folder of the working directory.
  std::string work = home_.File("work");
  std::filesystem::create_directory(work);
  std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(work);
  {
    ts::ScopedEnv home("HOME", home_.path());
    ts::ScopedEnv relative("XDG_CONFIG_HOME", "config");
    plat::registry().CloseKey(Create("\\k"));
    EXPECT_TRUE(std::filesystem::exists(home_.File(".config/KelvoUpgrader/registry")));
    DeleteTree(root_);
  }
  std::filesystem::current_path(before);
  EXPECT_FALSE(std::filesystem::exists(work + "/config"));
}

}  // namespace
