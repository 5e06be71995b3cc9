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

// One server for the whole test program, and the proxy variables set once:
// WinINet takes its proxy settings once per process (wine's does, at least),
// so a server per test would leave later tests talking to a stopped one.
inline test_server::Server& SharedServer() {
  static test_server::Server* server = [] {
    test_server::Limits limits;
    limits.lifetimeMs = 900000;  // longer than any run of this program
    auto* s = new test_server::Server(limits);
    if (!s->Start()) return s;
    static ProxyEnv proxy(s->ProxyUrl());
    return s;
  }();
  return *server;
}

class ServerFixture : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    server_ = &SharedServer();
    ASSERT_NE(server_->port(), 0);
    server_->Reset();
  }
  void TearDown() override {
    // The log tells why an exchange failed: show it with the failure.
    if (HasFailure()) {
      for (const std::string& line : Log()) std::printf("  log: %s\n", line.c_str());
    }
    server_->Reset();
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

  test_server::Server* server_ = nullptr;
};

}  // namespace web_test
