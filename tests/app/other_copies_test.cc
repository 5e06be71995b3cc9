// Ending other copies, with real processes: copies of the program started
// from the test under a file name that belongs to this test alone, so that
// nothing the test didn't start can ever be matched, let alone ended.
// These tests must not run side by side with each other (one copy's test could
// end another's copy), and every copy started is ended before a test returns.
#include <ctime>
#include <limits>

#include "other_copies_fixture.h"

namespace {

using namespace other_copies_testing;

TEST_F(OtherCopies, ACopyUnderAnotherFolderIsEnded) {
  plat::SpawnedProcess* copy = StartCopy(base_);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(FindProcessByModuleName(Lower(base_ + ext_).c_str()), plat::SpawnedProcessId(copy));
  // The test itself started before the copy: a launch from here would be
  // the older one and end itself, never the copy (a launch that does is
  // AnOlderCopySeenOnlyAfterANewerLookedEndsItself, in a namespace).
  EXPECT_TRUE(StillRunning(copy));
  EXPECT_TRUE(EndFromNewCopy());
  EXPECT_TRUE(EndsWith(copy, plat::kTerminatedExitStatus));
  // The copy that ended it names it.
  std::vector<std::string> log = SearchLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "TerminateOtherInstance - ended the older copy with process id " +
                        std::to_string(plat::SpawnedProcessId(copy)));
  // Nothing is left to end.
  EXPECT_FALSE(EndFromNewCopy());
}

TEST_F(OtherCopies, ALongerNameThatContainsOursCountsWhateverItsCase) {
  plat::SpawnedProcess* copy = StartCopy("x" + Upper(base_));
  ASSERT_NE(copy, nullptr);
  EXPECT_TRUE(EndFromNewCopy());
  EXPECT_TRUE(EndsWith(copy, plat::kTerminatedExitStatus));
}

TEST_F(OtherCopies, AProgramOfAnotherNameIsLeftAloneWhereverItRunsAndWhatEverItHasMapped) {
  plat::SpawnedProcess* other = StartCopy("Unrelated-t-" + base_.substr(16));
  // A program run from a folder named like the copies (a virtualenv in
  // ~/KelvoUpgrader) and one that has a data file named like them mapped
  // (a viewer of the log) run no copy of the program.
  plat::SpawnedProcess* inFolder = StartCopy("helper", base_);
  std::string data = NewFolder() + plat::kPathSeparator + base_ + ext_ + ".log";
  ts::WriteFileBytes(data, "a log line\n");
  plat::SpawnedProcess* viewer = StartProbe(ProbePath(), {"map", data, "60000"}, "mapped");
  ASSERT_NE(other, nullptr);
  ASSERT_NE(inFolder, nullptr);
  ASSERT_NE(viewer, nullptr);
  // On Linux a name that merely begins with ours is no copy either.
  plat::SpawnedProcess* helper = plat::kPathSeparator[0] == '/' ? StartCopy(base_ + "-helper") : nullptr;
  EXPECT_FALSE(EndFromNewCopy());
  EXPECT_EQ(FindProcessByModuleName(Lower(base_ + ext_).c_str()), 0u);
  EXPECT_TRUE(StillRunning(other));
  EXPECT_TRUE(StillRunning(inFolder));
  EXPECT_TRUE(StillRunning(viewer));
  if (helper) {
    EXPECT_TRUE(StillRunning(helper));
  }
}

TEST_F(OtherCopies, ACopyInsideAnUploadIsEndedOnlyOnceItsMarkIsFree) {
  std::snprintf(LogFilePath, sizeof LogFilePath, "%s", home_.File("search.log").c_str());
  // The probe, named like a copy, holds the upload mark for 4 s as an
  // upload does, then goes on running as a copy after its upload would. (A
  // launch under wine on a busy machine may take over a second to look, and
  // would find the mark free after a shorter hold.)
  std::string copy = PlaceCopy(ProbePath(), base_);
  plat::SpawnedProcess* uploading = StartProbe(copy, {"hold-mark", "4000", "60000"}, "held");
  ASSERT_NE(uploading, nullptr);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(EndFromNewCopy());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_TRUE(EndsWith(uploading, plat::kTerminatedExitStatus));
  EXPECT_NE(plat::ProcessOutput(uploading).find("done"), std::string::npos) << "ended inside its upload";
  std::vector<std::string> log = SearchLog();
  ASSERT_EQ(log.size(), 3u) << ts::ReadFileBytes(home_.File("search.log"));
  EXPECT_EQ(log[0], "WARNING: TerminateOtherInstance - another copy is uploading to the robot, "
                    "waiting until its upload ends");
  EXPECT_EQ(log[1], "TerminateOtherInstance - ended the older copy with process id " +
                        std::to_string(plat::SpawnedProcessId(uploading)));
  EXPECT_EQ(log[2].rfind("WARNING: TerminateOtherInstance - the upload ended after ", 0), 0u) << log[2];
  EXPECT_NE(log[2].find(" seconds, the other copy is ended now"), std::string::npos) << log[2];

  // A holder that dies lets go with it: the wait of a launch (the real
  // program, bounded by the run's time limit) ends, and nothing is left to end.
  plat::SpawnedProcess* dying = StartProbe(copy, {"hold-mark", "60000", "0"}, "held");
  ASSERT_NE(dying, nullptr);
  ts::ResetLog(home_.path());
  std::string launchLog = ts::LogPathFor(home_.path());
  std::thread killer([dying, launchLog] {
    for (int waited = 0; waited < 30000; waited += 20) {
      if (ts::ReadFileBytes(launchLog).find("waiting until its upload ends") != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    plat::KillProcess(dying);
  });
  ts::RunResult launch =
      ts::Run(PlaceCopy(ts::BinaryPath(), base_), {"registerx"}, ts::IsolatedEnv(home_.path()), 30000);
  killer.join();
  EXPECT_TRUE(launch.ended);
  log = ts::LogMessages(ts::ReadFileBytes(launchLog));
  auto last = std::find_if(log.rbegin(), log.rend(),
                           [](const std::string& l) { return l.rfind("WARNING: ", 0) == 0; });
  ASSERT_NE(last, log.rend());
  // Seen gone either while the mark was still held or once it was free.
  EXPECT_NE(last->find(", no other copy is ended"), std::string::npos) << *last;
}

TEST_F(OtherCopies, OfTwoOlderCopiesBothAreEndedAndGoneBeforeTheLaunchGoesOn) {
  plat::SpawnedProcess* a = StartCopy(base_);
  plat::SpawnedProcess* b = StartCopy(base_);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(EndFromNewCopy());
  // Gone already when the launch returned: no time for them to be seen.
  int code = 0;
  EXPECT_TRUE(plat::WaitProcess(a, 0, &code));
  EXPECT_TRUE(plat::WaitProcess(b, 0, &code));
  EXPECT_EQ(code, plat::kTerminatedExitStatus);
  EXPECT_FALSE(EndFromNewCopy());
}

TEST_F(OtherCopies, TensOfThousandsOfExecutableMappingsKeepTheLookQuick) {
  // Each name of one file mapped for execution is a module of its own. A
  // look that compared each with all before it grew with the square of their
  // number: 50,000 took seconds. Against 5,000 looked at in the same run,
  // linear work costs some 10 times as much, the square some 100 times. The
  // least of a few looks at each stands for it.
  if (plat::kPathSeparator[0] != '/') GTEST_SKIP() << "file views are no modules on Windows";
  auto mapper = [this](int count) {
    std::string folder = NewFolder();
    std::string first = folder + "/m0";
    ts::WriteFileBytes(first, "x");
    for (int i = 1; i < count; ++i) std::filesystem::create_hard_link(first, folder + "/m" + std::to_string(i));
    return StartProbe(ProbePath(), {"map-exec", folder, "600000"}, "mapped " + std::to_string(count) + "\n");
  };
  plat::SpawnedProcess* few = mapper(5000);
  plat::SpawnedProcess* many = mapper(50000);
  ASSERT_NE(few, nullptr);
  ASSERT_NE(many, nullptr);

  // The processor time the look takes (this process's, in the kernel too,
  // where /proc writes the mappings out), not the time on the clock: other
  // programs on a busy machine take turns with a long look far more often
  // than with a short one.
  auto look = [](plat::SpawnedProcess* decoy, std::clock_t* fastest, size_t* modules) {
    std::clock_t start = std::clock();
    plat::ProcessHandle process = plat::processes().OpenForQuery(plat::SpawnedProcessId(decoy));
    *fastest = std::min(*fastest, std::clock() - start);
    ASSERT_NE(process, 0u);
    uint32_t needed = 0;
    plat::ModuleHandle none[1];
    EXPECT_TRUE(plat::processes().EnumModules(process, none, sizeof none, &needed));
    plat::processes().Close(process);
    *modules = needed / sizeof(plat::ModuleHandle);
  };
  std::clock_t fewTook = std::numeric_limits<std::clock_t>::max(), manyTook = fewTook;
  size_t fewModules = 0, manyModules = 0;
  for (int round = 0; round < 3; ++round) {
    ASSERT_NO_FATAL_FAILURE(look(few, &fewTook, &fewModules));
    ASSERT_NO_FATAL_FAILURE(look(many, &manyTook, &manyModules));
  }
  EXPECT_GE(fewModules, 5000u);
  EXPECT_LT(fewModules, 50000u);
  EXPECT_GE(manyModules, 50000u);
  double ratio = static_cast<double>(manyTook) / static_cast<double>(std::max<std::clock_t>(1, fewTook));
  // Linear work measures some 16 times as much on a 2-core machine at load
  // 12; work that grows with the square, some 100 to 300 times.
  EXPECT_LT(ratio, 40.0) << "processor time for 5,000 modules: " << fewTook * 1000 / CLOCKS_PER_SEC
                         << " ms, for 50,000: " << manyTook * 1000 / CLOCKS_PER_SEC << " ms";
}

TEST_F(OtherCopies, MarksTakenByAnotherProgramHoldALaunchNoLongerThanTheCopyItWouldEnd) {
  // Any program of any account can create the marks' mutexes first and
  // hold them (wine doesn't tell accounts apart, so the squatter here is
  // one of ours; on Windows one of another account is refused outright).
  if (plat::kPathSeparator[0] != '\\') GTEST_SKIP() << "Linux marks live in the user's own folder";
  std::string squatter = plat::FolderOf(ts::BinaryPath()) + "\\kelvo_mark_squatter.exe";
  ASSERT_NE(StartProbe(squatter, {"120000", "Global\\KelvoUpgrader.Upload", "Global\\KelvoUpgrader.Ending"},
                       "held"),
            nullptr);
  std::string launcher = PlaceCopy(ts::BinaryPath(), base_);

  // No copy to end: nothing to wait for.
  ts::ResetLog(home_.path());
  auto start = std::chrono::steady_clock::now();
  ts::RunResult alone = ts::Run(launcher, {"registerx"}, ts::IsolatedEnv(home_.path()), 30000);
  EXPECT_TRUE(alone.ended) << "the launch waited on the squatter";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));

  // An older copy that ends by itself after some 3 seconds: the launch
  // waits as long as that copy lives, then goes on with a warning.
  std::string shortScript = home_.File("short.txt");
  ts::WriteFileBytes(shortScript, "wait 3000\n");
  plat::SpawnedProcess* older = StartCopy("x" + base_, "", shortScript);
  ASSERT_NE(older, nullptr);
  ts::ResetLog(home_.path());
  start = std::chrono::steady_clock::now();
  ts::RunResult waited = ts::Run(launcher, {"registerx"}, ts::IsolatedEnv(home_.path()), 30000);
  EXPECT_TRUE(waited.ended) << "the launch waited on the squatter after the copy was gone";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_TRUE(EndsWith(older, 0)) << "the copy ran to its own end";
  std::vector<std::string> log = ts::LogMessages(ts::ReadFileBytes(ts::LogPathFor(home_.path())));
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "WARNING: TerminateOtherInstance - another copy is ending older copies, waiting for it"),
            log.end());
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "WARNING: TerminateOtherInstance - the older copies ended while the mark was held, "
                      "no other copy is ended"),
            log.end());
}

TEST_F(OtherCopies, TheSearchingProcessNeverPicksItself) {
  // The probe runs the search from a file named like the copies, so its own
  // executable matches; it must still answer 0 while no other copy runs...
  std::string probe = PlaceCopy(ProbePath(), base_);
  ts::RunResult alone = ts::Run(probe, {"find", Lower(base_)}, {}, 60000);
  ASSERT_TRUE(alone.ended);
  EXPECT_EQ(Answer(alone), "0");

  // ...and the other copy's id once one runs.
  plat::SpawnedProcess* copy = StartCopy("b-" + base_);
  ASSERT_NE(copy, nullptr);
  ts::RunResult withCopy = ts::Run(probe, {"find", Lower(base_)}, {}, 60000);
  ASSERT_TRUE(withCopy.ended);
  EXPECT_EQ(Answer(withCopy), std::to_string(plat::SpawnedProcessId(copy)));
}

TEST_F(OtherCopies, ACopyOfAnotherUserThatCantBeReadIsPassedBy) {
  // Arranged on Linux by running the search as the unprivileged user
  // "nobody" (which needs root); a root-owned copy's maps are closed to it.
  const std::string setpriv = "/usr/bin/setpriv";
  if (plat::kPathSeparator[0] != '/' || !ts::FileExists(setpriv)) {
    GTEST_SKIP() << "needs Linux with setpriv";
  }
  std::vector<std::string> asNobody = {"--reuid=65534", "--regid=65534", "--clear-groups"};
  std::vector<std::string> trueRun = asNobody;
  trueRun.push_back("/bin/true");
  ts::RunResult canSwitch = ts::Run(setpriv, trueRun, {}, 10000);
  if (!canSwitch.ended || canSwitch.exitCode != 0) GTEST_SKIP() << "needs root to switch users";

  plat::SpawnedProcess* copy = StartCopy("b-" + base_);
  ASSERT_NE(copy, nullptr);
  std::string probe = PlaceCopy(ProbePath(), "probe-" + base_);
  std::vector<std::string> args = asNobody;
  args.insert(args.end(), {probe, "find", Lower(base_)});
  ts::RunResult other = ts::Run(setpriv, args, {}, 60000);
  ASSERT_TRUE(other.ended);
  EXPECT_EQ(Answer(other), "0");
  // The same search as the copy's own user finds it.
  ts::RunResult same = ts::Run(probe, {"find", Lower(base_)}, {}, 60000);
  EXPECT_EQ(Answer(same), std::to_string(plat::SpawnedProcessId(copy)));
  EXPECT_TRUE(StillRunning(copy));
}
}  // namespace
