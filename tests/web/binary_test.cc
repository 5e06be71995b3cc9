// The program itself fetching over HTTP in a local script run: the test
// program hosts the loopback server, the spawned updater reaches it through
// http_proxy (on the Windows build: the .exe under wine, through WinINet).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/socket.h"
#include "web_fixture.h"

namespace {

using testing_support::BinaryPath;
using testing_support::IsolatedEnv;
using testing_support::LogPathFor;
using testing_support::ResetLog;
using testing_support::TempDir;
using testing_support::WriteFileBytes;
using web_test::ServerFixture;

class BinaryWebTest : public ServerFixture {
 protected:
  // Runs the script with the proxy at proxyUrl; returns the run's log lines.
  std::vector<std::string> RunScript(const std::string& script, const std::string& proxyUrl) {
    ResetLog(home_.path());
    std::string path = home_.File("script.txt");
    WriteFileBytes(path, script);
    auto env = IsolatedEnv(home_.path());
    env.push_back({"http_proxy", proxyUrl});
    env.push_back({"https_proxy", proxyUrl});
    env.push_back({"no_proxy", ""});
    env.push_back({"NO_PROXY", ""});
    testing_support::RunResult result = testing_support::Run(BinaryPath(), {"/NOSERVER", path}, env, 90000);
    EXPECT_TRUE(result.ended);
    return testing_support::LogMessages(testing_support::ReadFileBytes(LogPathFor(home_.path())));
  }
  static bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  TempDir home_;
};

TEST_F(BinaryWebTest, AGetInALocalRunFetchesThroughTheProxy) {
  ASSERT_FALSE(BinaryPath().empty());
  server_->SetAnswer("http://updates.kelvo.com/fw.bin", Body("image bytes"));
  std::vector<std::string> log = RunScript("get http://updates.kelvo.com/fw.bin\r\n", server_->ProxyUrl());
  auto requests = server_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].url, "http://updates.kelvo.com/fw.bin");
  EXPECT_EQ(requests[0].Header("User-Agent"), "Kelvo Robot Updater");
  for (const std::string& line : log) EXPECT_EQ(line.find("ERROR"), std::string::npos) << line;
}

TEST_F(BinaryWebTest, ARefusedConnectionGives500With12029) {
  ASSERT_FALSE(BinaryPath().empty());
  uint16_t closedPort = 0;
  plat::Socket* probe = plat::ListenLoopback(&closedPort);
  ASSERT_NE(probe, nullptr);
  plat::CloseSocket(probe);
  std::vector<std::string> log =
      RunScript("get http://updates.kelvo.com/fw.bin\r\n", "http://127.0.0.1:" + std::to_string(closedPort));
  EXPECT_TRUE(Has(log, "ERROR: httpGet - Exception thrown, returing HTTP_STATUS_SERVER_ERROR"));
  EXPECT_TRUE(Has(log, "\tException m_dwError = 12029"));
  bool recorded = false;
  for (const std::string& line : log) recorded = recorded || line.find("HttpError500") != std::string::npos;
  EXPECT_TRUE(recorded);
}

}  // namespace
