// The desktop's side of registration (Linux): the desktop entry and the
// default handler for x-scheme-handler/kelvo, written by "register" and
// removed by "unregister", with and without xdg-mime. Windows has nothing
// beyond the registry here, so these tests skip there.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/url_registration.h"
#include "log/log.h"
#include "platform/desktop.h"
#include "platform/files.h"
#include "support/test_support.h"

namespace ts = testing_support;

namespace {

class RegistrationDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    scoped_.push_back(std::make_unique<ts::ScopedEnv>("HOME", home_.path()));
    scoped_.push_back(std::make_unique<ts::ScopedEnv>("XDG_CONFIG_HOME", home_.File("config")));
    scoped_.push_back(std::make_unique<ts::ScopedEnv>("XDG_DATA_HOME", home_.File("data")));
    bin_ = home_.File("bin");
    std::filesystem::create_directories(bin_);
    scoped_.push_back(std::make_unique<ts::ScopedEnv>("PATH", bin_));
    if (plat::SchemeHandlerDesktopEntryPath().empty()) GTEST_SKIP() << "no desktop entries here";
    logSwapped_ = true;
    std::memcpy(savedLog_, LogFilePath, sizeof savedLog_);
    std::snprintf(LogFilePath, sizeof LogFilePath, "%s", home_.File("test.log").c_str());
    entry_ = home_.path() + "/data/applications/kelvo-upgrader.desktop";
    defaults_ = home_.path() + "/config/mimeapps.list";
  }

  void TearDown() override {
    if (logSwapped_) std::memcpy(LogFilePath, savedLog_, sizeof savedLog_);
    scoped_.clear();
  }

  std::vector<std::string> Log() {
    std::vector<std::string> lines = ts::LogMessages(ts::ReadFileBytes(LogFilePath));
    ts::WriteFileBytes(LogFilePath, "");
    return lines;
  }

  // An xdg-mime stand-in that records its arguments and ends with status.
  void InstallXdgMime(int status) {
    std::string script = "#!/bin/sh\necho \"$@\" >> '" + home_.File("xdg-mime.args") +
                         "'\nexit " + std::to_string(status) + "\n";
    std::string path = bin_ + "/xdg-mime";
    ts::WriteFileBytes(path, script);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  }

  ts::TempDir home_;
  std::string bin_, entry_, defaults_;
  std::vector<std::unique_ptr<ts::ScopedEnv>> scoped_;
  char savedLog_[kPathMax] = {};
  bool logSwapped_ = false;
};

TEST_F(RegistrationDesktop, RegisterWritesTheEntryAndTheDefaultHandler) {
  EXPECT_EQ(plat::SchemeHandlerDesktopEntryPath(), entry_);
  // Another program's defaults stay as they are.
  std::filesystem::create_directories(home_.File("config"));
  ts::WriteFileBytes(defaults_, "[Added Associations]\ntext/plain=gedit.desktop;\n"
                                "[Default Applications]\ntext/html=firefox.desktop\n"
                                "x-scheme-handler/kelvo=old.desktop\n");
  std::string app = "/opt/Kelvo Robot/it's $HOME \"100%\" \\ KelvoUpgrader";
  EXPECT_TRUE(RegisterURLHandler(app.c_str()));
  EXPECT_EQ(Log(), std::vector<std::string>{});
  EXPECT_EQ(ts::ReadFileBytes(entry_),
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Kelvo Robot Updater\n"
            "Exec=\"/opt/Kelvo Robot/it's \\\\$HOME \\\\\"100%%\\\\\" \\\\\\\\ KelvoUpgrader\" %u\n"
            "NoDisplay=true\n"
            "MimeType=x-scheme-handler/kelvo;\n");
  EXPECT_EQ(ts::ReadFileBytes(defaults_),
            "[Added Associations]\ntext/plain=gedit.desktop;\n"
            "[Default Applications]\ntext/html=firefox.desktop\n"
            "x-scheme-handler/kelvo=kelvo-upgrader.desktop\n");

  EXPECT_TRUE(UnregisterURLHandler());
  EXPECT_EQ(Log(), std::vector<std::string>{});
  EXPECT_FALSE(ts::FileExists(entry_));
  EXPECT_EQ(ts::ReadFileBytes(defaults_), "[Added Associations]\ntext/plain=gedit.desktop;\n"
                                          "[Default Applications]\ntext/html=firefox.desktop\n");
}

TEST_F(RegistrationDesktop, WithoutADefaultsFileOneIsMade) {
  EXPECT_TRUE(RegisterURLHandler("/usr/bin/KelvoUpgrader"));
  EXPECT_EQ(ts::ReadFileBytes(defaults_),
            "[Default Applications]\nx-scheme-handler/kelvo=kelvo-upgrader.desktop\n");
  // Another handler added beside ours afterwards is kept on unregistering.
  ts::WriteFileBytes(defaults_, "[Default Applications]\n"
                                "x-scheme-handler/kelvo=kelvo-upgrader.desktop;other.desktop;\n");
  EXPECT_TRUE(UnregisterURLHandler());
  EXPECT_EQ(ts::ReadFileBytes(defaults_),
            "[Default Applications]\nx-scheme-handler/kelvo=other.desktop;\n");
}

TEST_F(RegistrationDesktop, XdgMimeSetsTheDefaultWhenItIsInstalled) {
  InstallXdgMime(0);
  EXPECT_TRUE(RegisterURLHandler("/usr/bin/KelvoUpgrader"));
  EXPECT_EQ(Log(), std::vector<std::string>{});
  EXPECT_EQ(ts::ReadFileBytes(home_.File("xdg-mime.args")),
            "default kelvo-upgrader.desktop x-scheme-handler/kelvo\n");
  EXPECT_FALSE(ts::FileExists(defaults_));
  EXPECT_TRUE(ts::FileExists(entry_));
}

TEST_F(RegistrationDesktop, AFailingXdgMimeWarnsAndTheDefaultsFileIsWrittenInstead) {
  InstallXdgMime(4);
  EXPECT_TRUE(RegisterURLHandler("/usr/bin/KelvoUpgrader"));
  std::vector<std::string> lines = Log();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "WARNING: RegisterURLHandler - xdg-mime [" + bin_ +
                          "/xdg-mime] ended with exit code 4");
  EXPECT_EQ(ts::ReadFileBytes(defaults_),
            "[Default Applications]\nx-scheme-handler/kelvo=kelvo-upgrader.desktop\n");
}

TEST_F(RegistrationDesktop, AnEntryThatCantBeWrittenOnlyWarns) {
  // A file where the applications folder should be.
  std::filesystem::create_directories(home_.File("data"));
  ts::WriteFileBytes(home_.File("data") + "/applications", "not a folder");
  EXPECT_TRUE(RegisterURLHandler("/usr/bin/KelvoUpgrader"));
  std::vector<std::string> lines = Log();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("WARNING: RegisterURLHandler - Failed to write desktop entry [" + entry_ +
                               "]. Error=",
                           0),
            0u)
      << lines[0];
  EXPECT_TRUE(UnregisterURLHandler());
}

}  // namespace
