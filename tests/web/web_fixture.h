// Shared set-up for the web tests: a log file of the test's own, a loopback
// test server, and the proxy variables pointing every request at it, so that
// nothing ever leaves 127.0.0.1 whatever host name a URL carries.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "log/log.h"
#include "platform/http.h"
#include "script/run_state.h"
#include "support/test_support.h"
#include "test_server/test_server.h"

namespace web_test {

using testing_support::LogMessages;
using testing_support::ReadFileBytes;
using testing_support::ScopedEnv;
using testing_support::TempDir;

class LogFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::snprintf(LogFilePath, sizeof LogFilePath, "%s", dir_.File("web.log").c_str());
  }
  void TearDown() override { LogFilePath[0] = '\0'; }

  std::vector<std::string> Log() const { return LogMessages(ReadFileBytes(dir_.File("web.log"))); }
  bool Logged(const std::string& line) const {
    std::vector<std::string> lines = Log();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  size_t LoggedCount(const std::string& line) const {
    std::vector<std::string> lines = Log();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
  }

  TempDir dir_;
};

// Points http_proxy (and https_proxy) at port; clears what could bypass it.
class ProxyEnv {
 public:
  explicit ProxyEnv(const std::string& proxyUrl)
      : http_("http_proxy", proxyUrl),
        https_("https_proxy", proxyUrl),
        upperHttps_("HTTPS_PROXY", proxyUrl),
        noProxy_("no_proxy", ""),
        upperNoProxy_("NO_PROXY", ""),
        all_("ALL_PROXY", ""),
        lowerAll_("all_proxy", "") {}

 private:
  ScopedEnv http_, https_, upperHttps_, noProxy_, upperNoProxy_, all_, lowerAll_;
};

class ServerFixture : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    ASSERT_TRUE(server_.Start());
    proxy_.reset(new ProxyEnv(server_.ProxyUrl()));
  }
  void TearDown() override {
    server_.Stop();
    proxy_.reset();
    plat::SetHttpSendReceiveTimeoutForTests(0);
    ReleaseRunResources();
    ReplyUrl[0] = '\0';
    LogFixture::TearDown();
  }

  static test_server::Answer Body(const std::string& body) {
    test_server::Answer answer;
    answer.body = body;
    return answer;
  }

  test_server::Server server_;
  std::unique_ptr<ProxyEnv> proxy_;
};

}  // namespace web_test
