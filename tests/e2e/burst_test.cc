// A burst of clicks on one kelvo:// link: copies of the real program started
// at once or a few tens of milliseconds apart, the robot simulated, the
// maker's server stand-in on loopback. Whatever the timing, the newest copy
// alone runs the script and posts a report; the copies before it are ended
// before they post anything, and none of them is left to meet the newest at
// the robot. Each copy posts to a Reply-To address of its own, so a report
// tells which copy sent it.
//
// On Linux the burst runs inside a PID namespace of its own (as root), with
// the shell that starts the copies; under wine the prefix is the test's own
// and the copies are started from here.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/spawn.h"
#include "url_road_fixture.h"

namespace {

namespace ts = testing_support;

const char kUnshare[] = "/usr/bin/unshare";
const char kUmockdevRun[] = "/usr/bin/umockdev-run";
const char kScriptUrl[] = "http://updates.kelvo.com/burst/script.txt";

struct Burst {
  int launches;
  int apartMs;
};

struct Outcome {
  bool allEnded = false;
  std::vector<size_t> reports;  // per copy, in launch order
  std::vector<std::string> newestLogs;
};

class BurstTest : public UrlRoadTest {
 protected:
  void SetUp() override {
    UrlRoadTest::SetUp();
    if (!OnWindows() && (!ts::FileExists(kUnshare) || !CanUnshare())) {
      GTEST_SKIP() << "unshare --mount-proc can make no PID namespace here (it needs root, and / a mount point)";
    }
    std::string sep = plat::kPathSeparator;
    ts::WriteFileBytes(programDir_.File("ConfigSettings.ini"),
                       "[RobotSimulationSettings]\r\nSimulateRobotResponses=1\r\n"
                       "[CurrentRobotDetails]\r\nHardware=Zarn\r\nSoftwareVersion=3\r\nLDSSoftwareVersion=1\r\n"
                       "ModelId=M1\r\n");
    std::string responses = programDir_.File("ResponseFiles") + sep + "Zarn" + sep + "3_1" + sep + "M1";
    std::filesystem::create_directories(responses);
    ts::WriteFileBytes(responses + sep + "getversion.txt", "Software 3.1\r\n\x1a");
  }

  static bool CanUnshare() {
    ts::RunResult probe = ts::Run(kUnshare, {"--pid", "--fork", "--mount-proc", "/bin/true"}, {}, 10000);
    return probe.ended && probe.exitCode == 0;
  }

  static std::string ReplyUrl(int copy) {
    return "http://updates.kelvo.com/burst/report-" + std::to_string(copy);
  }

  std::vector<std::pair<std::string, std::string>> Env() const {
    auto env = ts::IsolatedEnv(home_.path());
    env.push_back({"http_proxy", server_->ProxyUrl()});
    env.push_back({"https_proxy", server_->ProxyUrl()});
    env.push_back({"no_proxy", ""});
    env.push_back({"NO_PROXY", ""});
    return env;
  }

    // With robot set, the copies meet the USB robot that umockdev emulates
  // instead of the simulated one, all of them the same robot.
  // setup, when given, is shell text run in the namespace before the burst.
  Outcome RunBurst(const Burst& burst, bool robot = false, const std::string& setup = "") {
    server_->Reset();
    ts::ResetLog(home_.path());
    // A simulated robot doesn't wait: a slow download keeps the copies busy.
    // The emulated robot plays one conversation: only the newest copy may
    // reach it, after the download.
    Serve(kScriptUrl, robot ? "get http://updates.kelvo.com/burst/slow.bin\r\nsend getversion\r\n"
                            : "send getversion\r\nget http://updates.kelvo.com/burst/slow.bin\r\n"
                              "send getversion\r\n");
    test_server::Answer slow = maker_server::ScriptReply("IMAGE");
    slow.delayMs = 2000;
    server_->SetAnswer("http://updates.kelvo.com/burst/slow.bin", slow);
    std::vector<std::string> urls;
    for (int i = 0; i < burst.launches; ++i) {
      urls.push_back(std::string("kelvo://updates.kelvo.com/burst/script.txt?Reply-To=") + ReplyUrl(i));
      ReplyToReports(ReplyUrl(i), {maker_server::EmptyReply()});
    }
    Outcome outcome;
    outcome.allEnded =
        OnWindows() ? LaunchHere(urls, burst.apartMs) : LaunchInNamespace(urls, burst.apartMs, robot, setup);
    for (int i = 0; i < burst.launches; ++i) {
      auto reports = Reports(ReplyUrl(i));
      outcome.reports.push_back(reports.size());
      if (i == burst.launches - 1) {
        for (const auto& r : reports) outcome.newestLogs.push_back(r.log);
      }
    }
    return outcome;
  }

  // Started one after another from this process; all are waited for.
  bool LaunchHere(const std::vector<std::string>& urls, int apartMs) {
    std::vector<plat::SpawnedProcess*> copies;
    for (const auto& url : urls) {
      plat::SpawnOptions options;
      options.args = {url};
      options.env = Env();
      options.captureOutput = false;
      if (plat::SpawnedProcess* copy = plat::StartProcess(program_, options)) copies.push_back(copy);
      if (apartMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(apartMs));
    }
    bool ended = copies.size() == urls.size();
    for (plat::SpawnedProcess* copy : copies) {
      int code = 0;
      if (!plat::WaitProcess(copy, 60000, &code)) {
        ended = false;
        plat::KillProcess(copy);
      }
      plat::ReleaseProcess(copy);
    }
    return ended;
  }

  // A shell in a PID namespace of its own starts the copies and waits for
  // them all; the namespace ends with it, and whatever is left in it.
  bool LaunchInNamespace(const std::vector<std::string>& urls, int apartMs, bool robot,
                         const std::string& setup = "") {
    char apart[32];
    std::snprintf(apart, sizeof apart, "%d.%03d", apartMs / 1000, apartMs % 1000);
    std::vector<std::string> args = {
        kUnshare, "--pid", "--fork", "--mount-proc", "/bin/sh", "-c",
        setup + "\n"
        "apart=$1; program=$2; shift 2\n"
        "for url in \"$@\"; do\n"
        "  \"$program\" \"$url\" >/dev/null 2>&1 &\n"
        "  [ \"$apart\" = 0.000 ] || sleep \"$apart\"\n"
        "done\n"
        "wait\n",
        "burst", apart, program_};
    args.insert(args.end(), urls.begin(), urls.end());
    auto env = Env();
    if (!robot) {
      ts::RunResult run = ts::Run(kUnshare, std::vector<std::string>(args.begin() + 1, args.end()), env, 60000);
      return run.ended && run.exitCode == 0;
    }
    ts::WriteFileBytes(home_.File("robot.script"), "w 0 getversion^M\nr 0 Version 1.2^Z\n");
    std::string data = ts::EnvOr("KELVO_SOURCE_DIR", ".") + "/tests/robot/data/robot_first.umockdev";
    args.insert(args.begin(), {"--device", data, "--script", "/dev/ttyACM0=" + home_.File("robot.script"), "--"});
    // umockdev preloads its library; a sanitized build must accept that.
    env.emplace_back("ASAN_OPTIONS", ts::EnvOr("ASAN_OPTIONS", "") + ":verify_asan_link_order=0");
    ts::RunResult run = ts::Run(kUmockdevRun, args, env, 60000);
    return run.ended && run.exitCode == 0;
  }

  // The older copies that are gone: ended by a newer one, or ending
  // themselves on seeing a newer one (a copy may do both at once).
  size_t OlderCopiesGone() const {
    const std::string ended = "TerminateOtherInstance - ended the older copy with process id ";
    const std::string self = ", this copy with process id ";
    std::set<std::string> ids;
    for (const auto& line : Log()) {
      if (line.rfind(ended, 0) == 0) ids.insert(line.substr(ended.size()));
      size_t at = line.find(self);
      if (line.rfind("TerminateOtherInstance - the newer copy with process id ", 0) == 0 && at != std::string::npos) {
        ids.insert(line.substr(at + self.size(), line.find(' ', at + self.size()) - at - self.size()));
      }
    }
    return ids.size();
  }

  size_t LoggedCount(const std::string& start) const {
    size_t n = 0;
    for (const auto& line : Log()) n += line.rfind(start, 0) == 0;
    return n;
  }
};

TEST_F(BurstTest, TheNewestClickAloneRunsAndReportsWhetherTheClicksComeAtOnceOrApart) {
  const Burst bursts[] = {{2, 0}, {3, 0}, {5, 0}, {2, 200}, {3, 100}, {5, 50}};
  for (const Burst& burst : bursts) {
    SCOPED_TRACE("burst of " + std::to_string(burst.launches) + ", " + std::to_string(burst.apartMs) +
                 " ms apart");
    Outcome outcome = RunBurst(burst);
    EXPECT_TRUE(outcome.allEnded);
    size_t total = 0, fromOlder = 0;
    for (size_t i = 0; i < outcome.reports.size(); ++i) {
      total += outcome.reports[i];
      if (i + 1 < outcome.reports.size()) fromOlder += outcome.reports[i];
    }
    // The figures, for comparing builds (KELVO_BINARY may name another).
    std::printf("burst %d launches %d ms apart: reports %zu, from the newest %zu, from older copies %zu"
                " (older copies that ended themselves %zu)\n",
                burst.launches, burst.apartMs, total, outcome.newestLogs.size(), fromOlder,
                LoggedCount("TerminateOtherInstance - the newer copy with process id "));
    std::fflush(stdout);
    EXPECT_EQ(fromOlder, 0u);
    EXPECT_EQ(outcome.newestLogs.size(), 1u);
    // Every line of the newest copy's run went through: no port held by a
    // dying copy.
    for (const std::string& log : outcome.newestLogs) {
      EXPECT_FALSE(log.empty());
      for (size_t at = 0; at < log.size(); at += 4) EXPECT_EQ(log.substr(at, 4), "OK\r\n") << log;
    }
    // Each older copy is gone, and named; nothing uploads, so no wait
    // claims an upload.
    EXPECT_EQ(OlderCopiesGone(), static_cast<size_t>(burst.launches - 1));
    EXPECT_EQ(LoggedCount("WARNING: TerminateOtherInstance - another copy is uploading"), 0u);
    EXPECT_EQ(LoggedCount("ERROR"), 0u);
  }
}

TEST_F(BurstTest, WithARobotAttachedOnlyTheNewestClickReachesIt) {
  if (OnWindows()) GTEST_SKIP() << "umockdev emulates Linux devices";
  if (!ts::FileExists(kUmockdevRun)) GTEST_SKIP() << "umockdev is not installed";
  std::filesystem::remove(programDir_.File("ConfigSettings.ini"));
  const Burst bursts[] = {{3, 0}, {5, 50}};
  for (const Burst& burst : bursts) {
    SCOPED_TRACE("burst of " + std::to_string(burst.launches) + ", " + std::to_string(burst.apartMs) +
                 " ms apart");
    Outcome outcome = RunBurst(burst, true);
    EXPECT_TRUE(outcome.allEnded);
    size_t fromOlder = 0;
    for (size_t i = 0; i + 1 < outcome.reports.size(); ++i) fromOlder += outcome.reports[i];
    std::printf("robot burst %d launches %d ms apart: from the newest %zu, from older copies %zu\n",
                burst.launches, burst.apartMs, outcome.newestLogs.size(), fromOlder);
    std::fflush(stdout);
    EXPECT_EQ(fromOlder, 0u);
    ASSERT_EQ(outcome.newestLogs.size(), 1u);
    EXPECT_EQ(outcome.newestLogs[0].find("RobotDisconnected"), std::string::npos) << outcome.newestLogs[0];
    EXPECT_EQ(outcome.newestLogs[0].rfind("OK\r\nOK\r\n", 0), 0u) << outcome.newestLogs[0];
    EXPECT_TRUE(Logged("\tRobot connected on: [TTYACM0]"));
  }
}

// A mark place another account claimed (a root copy run with sudo -E leaves
// its mark file in the user's runtime folder; another account may make the
// /tmp folder first for a user without one) is passed by, and named in the
// log: the burst still leaves the newest copy alone. Here the tests' root is
// the user and nobody (65534) the other account; the namespace has mounts of
// its own, so the system's /tmp and /run stay as they are.
TEST_F(BurstTest, MarkPlacesAnotherAccountClaimedAreRefusedAndTheNewestStillRunsAlone) {
  if (OnWindows()) GTEST_SKIP() << "the marks are files on Linux";
  struct Case {
    const char* what;
    std::string setup;
    std::string refused;
  };
  std::string runtime = home_.File("runtime");
  const Case cases[] = {
      {"a mark file of another account in the runtime folder",
       "touch \"$XDG_RUNTIME_DIR/KelvoUpgrader.Upload.lock\"\n"
       "chown 65534:65534 \"$XDG_RUNTIME_DIR/KelvoUpgrader.Upload.lock\"\n",
       runtime + "/KelvoUpgrader.Upload.lock owned by uid 65534"},
      {"no runtime folder and another account's folder in /tmp",
       "unset XDG_RUNTIME_DIR\n"
       "[ -d /run/user ] && mount -t tmpfs tmpfs /run/user\n"
       "mkdir -p /tmp/KelvoUpgrader-0\n"
       "mount -t tmpfs -o uid=65534,gid=65534,mode=0700 tmpfs /tmp/KelvoUpgrader-0\n",
       "/tmp/KelvoUpgrader-0 owned by uid 65534"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Apart, so that the newest copy usually has older ones to end.
    Outcome outcome = RunBurst({3, 100}, false, c.setup);
    std::filesystem::remove(runtime + "/KelvoUpgrader.Upload.lock");
    EXPECT_TRUE(outcome.allEnded);
    size_t fromOlder = outcome.reports[0] + outcome.reports[1];
    std::printf("burst 3 launches 100 ms apart with %s: reports %zu, from the newest %zu, from older copies %zu\n", c.what,
                fromOlder + outcome.reports[2], outcome.newestLogs.size(), fromOlder);
    std::fflush(stdout);
    EXPECT_EQ(fromOlder, 0u);
    EXPECT_EQ(outcome.newestLogs.size(), 1u);
    EXPECT_EQ(OlderCopiesGone(), 2u);
    EXPECT_EQ(LoggedCount("WARNING: TerminateOtherInstance - the upload mark can't be taken"), 0u);
    bool named = false;
    for (const auto& line : Log()) {
      named = named || (line.rfind("WARNING: TerminateOtherInstance - the mark ", 0) == 0 &&
                        line.find("is not the user's own, passed by: " + c.refused) != std::string::npos);
    }
    // A copy that ended another went through the marks, and says what it
    // passed by (under load the older copies may all have ended themselves).
    if (LoggedCount("TerminateOtherInstance - ended the older copy with process id ") > 0) {
      EXPECT_TRUE(named) << c.refused;
    }
  }
}

}  // namespace
