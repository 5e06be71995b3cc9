// A copy of the updater under a name of its own, a home folder of its own,
// and the maker's server stand-in on loopback that it reaches through http_proxy.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "maker_server/maker_server.h"
#include "platform/files.h"
#include "support/test_support.h"

class UrlRoadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    test_server::Limits limits;
    limits.lifetimeMs = 15 * 60 * 1000;  // the whole suite; the server then stops by itself
    server_ = new test_server::Server(limits);
    ASSERT_TRUE(server_->Start());
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    server_->Reset();
    std::string source = testing_support::BinaryPath();
    ASSERT_FALSE(source.empty()) << "KELVO_BINARY is not set";
    bool exe = source.size() > 4 && source.compare(source.size() - 4, 4, ".exe") == 0;
    std::ostringstream name;
    name << "KelvoUpgrader-e2e-" << std::hex << std::random_device()() << (exe ? ".exe" : "");
    program_ = programDir_.File(name.str());
    testing_support::CopyFileBytes(source, program_);
    testing_support::ResetLog(home_.path());
  }

  testing_support::RunResult Launch(const std::vector<std::string>& args) {
    // Windows names compare without letter case, so HTTP_PROXY and
    // http_proxy are one variable there: only the lower-case ones are set.
    auto env = testing_support::IsolatedEnv(home_.path());
    env.push_back({"http_proxy", server_->ProxyUrl()});
    env.push_back({"https_proxy", server_->ProxyUrl()});
    env.push_back({"no_proxy", ""});
    env.push_back({"NO_PROXY", ""});
    if (!OwnPidNamespace()) return testing_support::Run(program_, args, env, 120000);
    // The copy search then sees nothing but this launch.
    std::vector<std::string> wrapped = {"--pid", "--fork", "--mount-proc", program_};
    wrapped.insert(wrapped.end(), args.begin(), args.end());
    return testing_support::Run("/usr/bin/unshare", wrapped, env, 120000);
  }
  testing_support::RunResult Launch(const std::string& commandLine) {
    return Launch(std::vector<std::string>{commandLine});
  }

  void Serve(const std::string& url, const std::string& script) {
    server_->SetAnswer(url, maker_server::ScriptReply(script));
  }
  void ReplyToReports(const std::string& url, const std::vector<test_server::Answer>& replies) {
    server_->SetAnswers(url, replies);
  }
  std::vector<maker_server::Report> Reports(const std::string& url) const {
    return maker_server::ReportsTo(*server_, url);
  }
  int Posts() const {
    auto requests = server_->Requests();
    return static_cast<int>(std::count_if(requests.begin(), requests.end(),
                                          [](const test_server::Request& r) { return r.method == "POST"; }));
  }

  std::string RawLog() const {
    return testing_support::ReadFileBytes(testing_support::LogPathFor(home_.path()));
  }
  std::vector<std::string> Log() const { return testing_support::LogMessages(RawLog()); }
  bool Logged(const std::string& line) const {
    auto lines = Log();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  // The line at which the log's end banner says how the run ended.
  bool EndedWith(int code) const {
    return Logged("************ Kelvo Upgrader Ended - ret code = " + std::to_string(code) +
                  " *****************");
  }

  static bool OnWindows() { return plat::kPathSeparator[0] == '\\'; }
  // A test sets this to run each Linux launch in a PID namespace of its own
  // (as root, where unshare can make one); under wine the copy search sees
  // only the test's own prefix anyway.
  bool OwnPidNamespace() const {
    static const bool possible =
        !OnWindows() && std::system("unshare --pid --fork --mount-proc true >/dev/null 2>&1") == 0;
    return sealed_ && possible;
  }
  bool sealed_ = false;
  std::string ProgramFolder() const { return programDir_.path(); }

  static inline test_server::Server* server_ = nullptr;
  testing_support::TempDir home_;
  testing_support::TempDir programDir_;
  std::string program_;
};
