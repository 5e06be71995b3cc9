// The fixture of the desktop registration tests (Linux): a home of its own
// with the XDG folders in it, the log in a file of the test's, and a real
// launcher to hand links to. They skip where there are no desktop entries.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "log/log.h"
#include "platform/desktop.h"
#include "support/test_support.h"

namespace testing_support {

class RegistrationDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    scoped_.push_back(std::make_unique<testing_support::ScopedEnv>("HOME", home_.path()));
    scoped_.push_back(std::make_unique<testing_support::ScopedEnv>("XDG_CONFIG_HOME", home_.File("config")));
    scoped_.push_back(std::make_unique<testing_support::ScopedEnv>("XDG_DATA_HOME", home_.File("data")));
    bin_ = home_.File("bin");
    std::filesystem::create_directories(bin_);
    scoped_.push_back(std::make_unique<testing_support::ScopedEnv>("PATH", bin_));
    if (plat::SchemeHandlerDesktopEntryPath().empty()) GTEST_SKIP() << "no desktop entries here";
    logSwapped_ = true;
    std::memcpy(savedLog_, LogFilePath, sizeof savedLog_);
    std::snprintf(LogFilePath, sizeof LogFilePath, "%s", home_.File("test.log").c_str());
    entry_ = home_.path() + "/data/applications/kelvo-upgrader-user.desktop";
    defaults_ = home_.path() + "/config/mimeapps.list";
  }

  void TearDown() override {
    if (logSwapped_) std::memcpy(LogFilePath, savedLog_, sizeof savedLog_);
    scoped_.clear();
  }

  std::vector<std::string> Log() {
    std::vector<std::string> lines = testing_support::LogMessages(testing_support::ReadFileBytes(LogFilePath));
    testing_support::WriteFileBytes(LogFilePath, "");
    return lines;
  }

  // An xdg-mime stand-in that records its arguments and ends with status.
  void InstallXdgMime(int status) {
    std::string script = "#!/bin/sh\necho \"$@\" >> '" + home_.File("xdg-mime.args") +
                         "'\nexit " + std::to_string(status) + "\n";
    std::string path = bin_ + "/xdg-mime";
    testing_support::WriteFileBytes(path, script);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  }

  // Hands the URL to a real launcher, as a browser does, and says what came
  // of it: "started" when the program ran with the URL, unchanged, as its
  // whole command line; otherwise what the launcher and the log showed.
  std::string Launch(const std::string& launcher, const std::vector<std::string>& args,
                     bool generic) {
    testing_support::ResetLog(home_.path());
    testing_support::RunResult run = testing_support::Run(launcher, args, {
        {"PATH", "/usr/local/bin:/usr/bin:/bin"}, {"XDG_STATE_HOME", home_.File("state")},
        {"XDG_DATA_DIRS", home_.File("none")}, {"XDG_CONFIG_DIRS", home_.File("none")},
        // No desktop named: xdg-open takes its generic mode when it has a display.
        {"XDG_CURRENT_DESKTOP", ""}, {"XDG_SESSION_DESKTOP", ""}, {"DESKTOP_SESSION", ""},
        {"KDE_FULL_SESSION", ""}, {"GNOME_DESKTOP_SESSION_ID", ""},
        {"MATE_DESKTOP_SESSION_ID", ""}, {"LXQT_SESSION_CONFIG", ""}, {"WAYLAND_DISPLAY", ""},
        {"DBUS_SESSION_BUS_ADDRESS", ""}, {"DISPLAY", generic ? ":31999" : ""},
        // Never a real browser, should the entry not be found.
        {"BROWSER", "false"},
        // The URL's host is off the allow-list; a proxy on loopback all the same.
        {"http_proxy", "http://127.0.0.1:9"}, {"https_proxy", "http://127.0.0.1:9"},
        {"HTTP_PROXY", ""}, {"HTTPS_PROXY", ""}, {"ALL_PROXY", ""}, {"all_proxy", ""},
        {"no_proxy", ""}, {"NO_PROXY", ""}}, 60000);
    // xdg-open waits for the program; gio leaves it running.
    std::string log = testing_support::LogPathFor(home_.path());
    for (int i = 0; i < 400 && run.ended && run.exitCode == 0; ++i) {
      if (testing_support::ReadFileBytes(log).find("Kelvo Upgrader Ended") != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (const std::string& line : testing_support::LogMessages(testing_support::ReadFileBytes(log))) {
      if (line == "Command line: [" + args.back() + "]") return "started";
      if (line.rfind("Command line:", 0) == 0) return "started with " + line;
    }
    return "not started: " + (run.ended ? "exit " + std::to_string(run.exitCode) : "time-out") +
           ", " + run.output;
  }

  testing_support::TempDir home_;
  std::string bin_, entry_, defaults_;
  std::vector<std::unique_ptr<testing_support::ScopedEnv>> scoped_;
  char savedLog_[kPathMax] = {};
  bool logSwapped_ = false;
};

}  // namespace testing_support
