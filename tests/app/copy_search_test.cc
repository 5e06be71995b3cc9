// The search for another copy over a made-up process table: list sizes and
// cut-offs that no real machine in a test can produce, unreadable modules,
// failed allocations, and the bookkeeping of handles and the last error.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/other_copies.h"
#include "log/log.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/process.h"
#include "support/test_support.h"

namespace {

namespace ts = testing_support;

struct FakeProcess {
  uint32_t id;
  bool opens = true;
  bool listsModules = true;
  // Module paths; an empty path stands for a module whose name can't be read.
  std::vector<std::string> modules;
  // Null handles placed before the modules in the list.
  int nullModules = 0;
  // Started before the searching process (which started at 100), and ours.
  uint64_t start = 10;
  bool sameUser = true;
};

class FakeProcesses : public plat::Processes {
 public:
  std::vector<FakeProcess> table;
  uint32_t self = 1;
  std::vector<uint32_t> idBufferSizes;
  std::vector<uint32_t> moduleBufferSizes;
  int openHandles = 0;
  int debugPrivilegeCalls = 0;
  uint64_t selfStart = 100;
  // The handles Terminate was given, as the ids their open was for.
  std::vector<uint32_t> terminated;
  std::vector<uint32_t> terminateCodes;
  bool terminateSucceeds = true;
  std::vector<uint32_t> exited;
  std::vector<std::string> calls;

  bool EnumProcessIds(uint32_t* ids, uint32_t bufferBytes, uint32_t* bytesReturned) override {
    idBufferSizes.push_back(bufferBytes);
    uint32_t capacity = bufferBytes / 4;
    uint32_t n = 0;
    for (; n < table.size() && n < capacity; ++n) ids[n] = table[n].id;
    *bytesReturned = n * 4;
    return true;
  }
  plat::ProcessHandle OpenForQuery(uint32_t id) override {
    calls.push_back("query " + std::to_string(id));
    const FakeProcess* p = Find(id);
    if (!p || !p->opens) return 0;
    ++openHandles;
    return 0x1000 + id;
  }
  bool EnumModules(plat::ProcessHandle process, plat::ModuleHandle* modules, uint32_t bufferBytes,
                   uint32_t* bytesNeeded) override {
    moduleBufferSizes.push_back(bufferBytes);
    const FakeProcess* p = Find(static_cast<uint32_t>(process - 0x1000));
    if (!p->listsModules) return false;
    size_t count = p->nullModules + p->modules.size();
    *bytesNeeded = static_cast<uint32_t>(count * sizeof(plat::ModuleHandle));
    for (size_t i = 0; i < count && i < bufferBytes / sizeof(plat::ModuleHandle); ++i) {
      modules[i] = i < static_cast<size_t>(p->nullModules) ? 0 : i - p->nullModules + 1;
    }
    return true;
  }
  uint32_t ModuleFileName(plat::ProcessHandle process, plat::ModuleHandle module, char* path,
                          uint32_t size) override {
    const FakeProcess* p = Find(static_cast<uint32_t>(process - 0x1000));
    EXPECT_NE(module, 0u);
    const std::string& file = p->modules.at(module - 1);
    if (file.empty()) return 0;
    // GetModuleFileNameExA cuts to the buffer and, on XP, may leave it unterminated.
    uint32_t copy = static_cast<uint32_t>(file.size() < size ? file.size() : size);
    std::memcpy(path, file.data(), copy);
    if (copy < size) path[copy] = '\0';
    return copy;
  }
  bool Terminate(plat::ProcessHandle process, uint32_t exitCode) override {
    uint32_t id = static_cast<uint32_t>(process - 0x1000);
    calls.push_back("terminate " + std::to_string(id));
    terminated.push_back(id);
    terminateCodes.push_back(exitCode);
    if (terminateSucceeds) exited.push_back(id);
    plat::SetLastErrorCode(terminateSucceeds ? 0 : 5);
    return terminateSucceeds;
  }
  bool StartTime(plat::ProcessHandle process, uint64_t* start) override {
    *start = Find(static_cast<uint32_t>(process - 0x1000))->start;
    return true;
  }
  bool CurrentStartTime(uint64_t* start) override {
    *start = selfStart;
    return true;
  }
  bool SameUser(plat::ProcessHandle process) override {
    return Find(static_cast<uint32_t>(process - 0x1000))->sameUser;
  }
  bool WaitForExit(plat::ProcessHandle process, uint32_t) override {
    uint32_t id = static_cast<uint32_t>(process - 0x1000);
    return std::find(exited.begin(), exited.end(), id) != exited.end();
  }
  void Close(plat::ProcessHandle) override {
    --openHandles;
    plat::SetLastErrorCode(1234);  // a close that disturbs the last error
  }
  uint32_t CurrentProcessId() override { return self; }
  bool EnableDebugPrivilege() override {
    calls.push_back("privilege");
    ++debugPrivilegeCalls;
    return false;
  }

 private:
  const FakeProcess* Find(uint32_t id) const {
    for (const auto& p : table) {
      if (p.id == id) return &p;
    }
    return nullptr;
  }
};

class CopySearch : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::SetProcesses(&fake);
    // The ending takes the upload mark: the test's own, not the user's.
    runtime_.reset(new testing_support::ScopedEnv("XDG_RUNTIME_DIR", folder_.path()));
  }
  void TearDown() override {
    plat::SetProcesses(nullptr);
    plat::FailNthAllocation(0);
    EXPECT_EQ(fake.openHandles, 0) << "every handle is closed";
  }
  // Filler processes that open and hold nothing of interest.
  void AddProcesses(uint32_t count, uint32_t firstId) {
    for (uint32_t i = 0; i < count; ++i) {
      fake.table.push_back({firstId + i, true, true, {"c:\\windows\\system32\\svchost.exe"}, 0});
    }
  }
  FakeProcesses fake;
  testing_support::TempDir folder_;
  std::unique_ptr<testing_support::ScopedEnv> runtime_;
};

TEST_F(CopySearch, IdListGrowsByDoublingAndGivesUpAt128KiB) {
  // 255 ids fit the first 1,024 bytes with room to spare: one listing.
  AddProcesses(254, 100);
  fake.table.push_back({7, true, true, {"C:\\A\\KelvoUpgrader.exe"}, 0});
  EXPECT_EQ(FindProcessByModuleName("kelvoupgrader.exe"), 7u);
  EXPECT_EQ(fake.idBufferSizes, (std::vector<uint32_t>{1024}));

  // 256 fill the buffer exactly, which may mean cut: listed again with 2,048.
  fake.idBufferSizes.clear();
  fake.table.insert(fake.table.begin(), {99, true, true, {}, 0});
  EXPECT_EQ(FindProcessByModuleName("kelvoupgrader.exe"), 7u);
  EXPECT_EQ(fake.idBufferSizes, (std::vector<uint32_t>{1024, 2048}));

  // 16,383 ids fit 65,536 bytes; 16,384 would need the 131,072-byte list,
  // which is never made, and then nothing is found at all.
  fake.idBufferSizes.clear();
  AddProcesses(16383 - 256, 1000);
  EXPECT_EQ(FindProcessByModuleName("kelvoupgrader.exe"), 7u);
  EXPECT_EQ(fake.idBufferSizes.back(), 65536u);
  fake.idBufferSizes.clear();
  AddProcesses(1, 50000);
  EXPECT_EQ(FindProcessByModuleName("kelvoupgrader.exe"), 0u);
  EXPECT_EQ(fake.idBufferSizes, (std::vector<uint32_t>{1024, 2048, 4096, 8192, 16384, 32768, 65536}));
}

TEST_F(CopySearch, ModuleListGrowsAndAnOverlongListCountsAsNone) {
  const uint32_t perKiB = 1024 / sizeof(plat::ModuleHandle);
  FakeProcess many{10, true, true, {}, 0};
  for (uint32_t i = 0; i < perKiB - 1; ++i) many.modules.push_back("c:\\lib\\m.dll");
  many.modules.push_back("c:\\x\\kelvoupgrader.exe");
  fake.table.push_back(many);
  // Exactly 1,024 bytes needed: not complete at 1,024, listed again at 2,048.
  EXPECT_EQ(FindProcessByModuleName("kelvoupgrader.exe"), 10u);
  EXPECT_EQ(fake.moduleBufferSizes, (std::vector<uint32_t>{1024, 2048}));

  // A list needing 65,536 bytes would need the 131,072-byte buffer: the
  // process counts as one without modules, and the search goes on.
  fake.moduleBufferSizes.clear();
  fake.table[0].modules.assign(64 * perKiB - 1, "c:\\lib\\m.dll");
  fake.table[0].modules.push_back("c:\\x\\kelvoupgrader.exe");
  fake.table.push_back({11, true, true, {"d:\\kelvoupgrader.exe"}, 0});
  EXPECT_EQ(FindProcessByModuleName("kelvoupgrader.exe"), 11u);
  EXPECT_EQ(fake.moduleBufferSizes.front(), 1024u);
  EXPECT_EQ(fake.moduleBufferSizes[fake.moduleBufferSizes.size() - 2], 65536u);
}

TEST_F(CopySearch, SkipsSelfUnopenableUnlistableNullAndUnreadableModules) {
  fake.self = 5;
  fake.table.push_back({5, true, true, {"c:\\me\\kelvoupgrader.exe"}, 0});
  fake.table.push_back({6, false, true, {"c:\\other-user\\kelvoupgrader.exe"}, 0});
  fake.table.push_back({7, true, false, {"c:\\protected\\kelvoupgrader.exe"}, 0});
  fake.table.push_back({8, true, true, {"", "c:\\lib\\a.dll"}, 3});
  fake.table.push_back({9, true, true, {"", "C:\\Second\\KELVOUPGRADER.EXE"}, 2});
  fake.table.push_back({10, true, true, {"c:\\third\\kelvoupgrader.exe"}, 0});
  EXPECT_EQ(FindProcessByModuleName("kelvoupgrader.exe"), 9u);
  // The own process is never even opened; the search stops at the first match.
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"query 6", "query 7", "query 8", "query 9"}));
}

TEST_F(CopySearch, WindowsLooksAtTheWholeModulePathLinuxAtItsFileName) {
  auto path = [](std::vector<std::string> parts) {
    std::string joined;
    for (const auto& part : parts) joined += plat::kPathSeparator + part;
    return joined;
  };
  fake.table.push_back({60, true, true, {path({"home", "u", "KelvoUpgrader", "venv", "bin", "python"})}, 0});
  fake.table.push_back({61, true, true, {path({"opt", "KelvoUpgrader", "helper"}), path({"lib", "libc.so"})}, 0});
  // On Linux a file name counts when it ends with ours: a helper or a decoy
  // named after the program is none of its copies.
  fake.table.push_back({63, true, true, {path({"usr", "lib", "KelvoUpgrader-helper"})}, 0});
  fake.table.push_back({64, true, true, {path({"tmp", "KelvoUpgrader-decoy"}), path({"lib", "libKelvoUpgrader.so"})}, 0});
  fake.table.push_back({62, true, true, {path({"lib", "libc.so"}), path({"tmp", "xKELVOUPGRADER"})}, 0});
  bool windows = plat::kPathSeparator[0] == '\\';
  EXPECT_EQ(FindProcessByModuleName("kelvoupgrader"), windows ? 60u : 62u);
  if (windows) return;
  fake.table.erase(fake.table.begin(), fake.table.begin() + 2);
  EXPECT_EQ(FindProcessByModuleName("kelvoupgrader"), 62u);
  fake.table.pop_back();
  EXPECT_EQ(FindProcessByModuleName("kelvoupgrader"), 0u);
}

TEST_F(CopySearch, ComparesWholeModulePathsHoweverLong) {
  // Paths past 259 characters are read again into room enough and compared
  // whole: a name cut at 259 is no name.
  std::string sep = plat::kPathSeparator;
  std::string folder = sep + std::string(240, 'd') + sep;
  std::string pad = std::string(259 - folder.size() - 13, 'e');
  ASSERT_EQ((folder + pad + "KelvoUpgrader").size(), 259u);
  struct Case {
    std::string path;
    bool onLinux, onWindows;
  };
  const Case cases[] = {
      // A copy whose name ends at character 268.
      {folder + pad + "123456789KelvoUpgrader", true, true},
      // The first 259 characters end like the program, the whole path doesn't
      // (Windows takes the name anywhere in the path, Linux at its end).
      {folder + pad + "KelvoUpgrader" + sep + "sleep", false, true},
      {folder + pad + "KelvoUpgrader-helper" + sep + "sleep", false, true},
      // Exactly 259 characters, and a path the long buffer can't hold.
      {folder + pad + "KelvoUpgrader", true, true},
      {sep + std::string(40000, 'f') + sep + "KelvoUpgrader", false, false},
  };
  bool windows = sep == "\\";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.substr(240));
    fake.table.assign(1, {20, true, true, {c.path}, 0});
    EXPECT_EQ(FindProcessByModuleName("kelvoupgrader"), (windows ? c.onWindows : c.onLinux) ? 20u : 0u);
  }
}

TEST_F(CopySearch, AFailedAllocationEndsTheSearchWithNothing) {
  fake.table.push_back({30, true, true, {"c:\\a\\kelvoupgrader.exe"}, 0});
  plat::FailNthAllocation(1);  // the id list
  EXPECT_EQ(FindProcessByModuleName("kelvoupgrader.exe"), 0u);
  EXPECT_TRUE(fake.calls.empty());

  // The module list of the first process: even a later match is not looked for.
  fake.table.insert(fake.table.begin(), {29, true, true, {"c:\\b\\other.exe"}, 0});
  plat::FailNthAllocation(2);
  EXPECT_EQ(FindProcessByModuleName("kelvoupgrader.exe"), 0u);
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"query 29"}));

  plat::FailNthAllocation(0);
  EXPECT_EQ(FindProcessByModuleName("kelvoupgrader.exe"), 30u);
}

TEST_F(CopySearch, EmptyNameFindsNothing) {
  fake.table.push_back({40, true, true, {"c:\\a\\anything.exe"}, 0});
  EXPECT_EQ(FindProcessByModuleName(""), 0u);
  std::string folderOnly = std::string("dir") + plat::kPathSeparator;
  EXPECT_FALSE(TerminateOtherInstance(folderOnly.c_str()));
  EXPECT_TRUE(fake.terminated.empty());
}

TEST_F(CopySearch, TerminateEndsEveryOlderCopyOfOursWithMinusOneThroughTheHandleItLookedInto) {
  fake.self = 60;
  fake.table.push_back({50, true, true, {"c:\\a\\notepad.exe"}, 0});
  fake.table.push_back({51, true, true, {"C:\\Other Place\\KelvoUpgrader.exe"}, 0});
  fake.table.push_back({52, true, true, {"c:\\b\\kelvoupgrader.exe"}, 0});
  // In the same tick with a lower id: older.
  fake.table.push_back({59, true, true, {"c:\\e\\kelvoupgrader.exe"}, 0, 100});
  // Another user's copy, even one we could look into, is none of ours.
  fake.table.push_back({54, true, true, {"c:\\f\\kelvoupgrader.exe"}, 0, 10, false});
  std::string path = std::string("Where") + plat::kPathSeparator + "KelvoUpgrader.EXE";
  EXPECT_TRUE(TerminateOtherInstance(path.c_str()));
  EXPECT_EQ(fake.debugPrivilegeCalls, 1);
  EXPECT_EQ(fake.calls.front(), "privilege");
  EXPECT_EQ(fake.terminated, (std::vector<uint32_t>{51, 52, 59}));
  EXPECT_EQ(fake.terminateCodes, (std::vector<uint32_t>(3, 0xFFFFFFFFu)));
  // Each process is opened once: the handle that was looked into is the one
  // that ends it, so an id that went to another process meanwhile is never hit.
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"privilege", "query 50", "query 51", "query 52", "query 59",
                                                  "query 54", "terminate 51", "terminate 52", "terminate 59"}));
  EXPECT_EQ(plat::LastErrorCode(), 0) << "the close must not replace TerminateProcess's error";
  // The first in the platform's order is still what the search answers.
  EXPECT_EQ(FindProcessByModuleName("kelvoupgrader.exe"), 51u);

  fake.exited.clear();
  fake.terminateSucceeds = false;
  EXPECT_FALSE(TerminateOtherInstance(path.c_str()));
  EXPECT_EQ(plat::LastErrorCode(), 5);

  // Nothing older left: nothing is ended.
  fake.table.resize(1);
  fake.terminated.clear();
  EXPECT_FALSE(TerminateOtherInstance(path.c_str()));
  EXPECT_TRUE(fake.terminated.empty());
}

TEST_F(CopySearch, ACopyThatSeesANewerOneEndsItselfAndNoOther) {
  // A copy shows as the program only once its start has gone through: a
  // newer copy may have looked before, and will never end this one. Started
  // after us, or in the same tick with a higher id, is newer.
  fake.self = 60;
  fake.table.push_back({60, true, true, {"c:\\s\\kelvoupgrader.exe"}, 0, 100});
  fake.table.push_back({51, true, true, {"c:\\a\\kelvoupgrader.exe"}, 0});
  for (uint64_t newerStart : {101u, 100u}) {
    SCOPED_TRACE(newerStart);
    fake.table.resize(2);
    fake.table.push_back({61, true, true, {"c:\\d\\kelvoupgrader.exe"}, 0, newerStart});
    fake.terminated.clear();
    fake.terminateCodes.clear();
    std::string path = std::string("Where") + plat::kPathSeparator + "KelvoUpgrader.EXE";
    EXPECT_FALSE(TerminateOtherInstance(path.c_str()));
    EXPECT_EQ(fake.terminated, (std::vector<uint32_t>{60}));
    EXPECT_EQ(fake.terminateCodes, (std::vector<uint32_t>{0xFFFFFFFFu}));
  }
  // Where this copy can't be ended, it says so and still ends no other.
  fake.terminateSucceeds = false;
  fake.terminated.clear();
  ts::TempDir logs;
  std::snprintf(LogFilePath, sizeof LogFilePath, "%s", logs.File("search.log").c_str());
  EXPECT_FALSE(TerminateOtherInstance("KelvoUpgrader.exe"));
  EXPECT_EQ(fake.terminated, (std::vector<uint32_t>{60}));
  std::string log = ts::ReadFileBytes(logs.File("search.log"));
  LogFilePath[0] = '\0';
  EXPECT_NE(log.find("TerminateOtherInstance - the newer copy with process id 61 runs, this copy with process id 60 ends"),
            std::string::npos) << log;
  EXPECT_NE(log.find("WARNING: TerminateOtherInstance - this copy can't end itself (error 5)"), std::string::npos)
      << log;
}

TEST_F(CopySearch, AMarkFileThatIsNotTheUsersOwnIsPassedByAndTheCopyIsStillEnded) {
  // A place another account can claim must not decide whether copies are
  // ended: a mark file that is a link, or that another account made, is
  // passed by (and named in the log), and the marks are taken elsewhere.
  if (plat::kPathSeparator[0] == '\\') GTEST_SKIP() << "the mark is a file on Linux only";
  ts::TempDir state;
  testing_support::ScopedEnv stateHome("XDG_STATE_HOME", state.path());
  std::filesystem::create_symlink(folder_.File("elsewhere"), folder_.File("KelvoUpgrader.Upload.lock"));
  ts::WriteFileBytes(folder_.File("KelvoUpgrader.Ending.lock"), "");
  ts::RunResult chown = ts::Run("/bin/chown", {"65534:65534", folder_.File("KelvoUpgrader.Ending.lock")});
  if (!chown.ended || chown.exitCode != 0) GTEST_SKIP() << "needs root to give a file to another account";
  fake.table.push_back({70, true, true, {"/opt/x/KelvoUpgrader"}, 0});
  ts::TempDir logs;
  std::snprintf(LogFilePath, sizeof LogFilePath, "%s", logs.File("search.log").c_str());
  EXPECT_TRUE(TerminateOtherInstance("/usr/bin/KelvoUpgrader"));
  std::string log = ts::ReadFileBytes(logs.File("search.log"));
  LogFilePath[0] = '\0';
  EXPECT_EQ(fake.terminated, (std::vector<uint32_t>{70}));
  EXPECT_NE(log.find("WARNING: TerminateOtherInstance - the mark Ending is not the user's own, passed by: " +
                     folder_.File("KelvoUpgrader.Ending.lock") + " owned by uid 65534"),
            std::string::npos) << log;
  EXPECT_NE(log.find("WARNING: TerminateOtherInstance - the mark Upload is not the user's own, passed by: " +
                     folder_.File("KelvoUpgrader.Upload.lock") + " can't be opened"),
            std::string::npos) << log;
  EXPECT_FALSE(std::filesystem::exists(folder_.File("elsewhere")));
}

}  // namespace
