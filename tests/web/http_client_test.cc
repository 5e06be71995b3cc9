// The HTTP client against the loopback test server, reached through
// http_proxy with allow-listed host names.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "platform/memory.h"
#include "web/http_client.h"
#include "web_fixture.h"

namespace {

using test_server::Answer;
using web_test::ServerFixture;

const char kGetExceptionLine[] = "ERROR: httpGet - Exception thrown, returing HTTP_STATUS_SERVER_ERROR";
const char kPostExceptionLine[] = "ERROR: httpPost - Exception thrown, returing HTTP_STATUS_SERVER_ERROR";
const char kNoLengthLine[] =
    "ERROR: httpGetBody - Get body failed. Content-Length header was not returned.";

std::string ErrorLine(int code) { return "\tException m_dwError = " + std::to_string(code); }

class HttpClientTest : public ServerFixture {
 protected:
  void TearDown() override {
    if (body_) plat::Free(body_);
    body_ = nullptr;
    ServerFixture::TearDown();
  }
  int Get(const std::string& url) {
    if (body_) plat::Free(body_);
    return httpGet(url.c_str(), &body_, &length_);
  }
  int Post(const std::string& replyUrl, const char* contentType, const std::string& data) {
    std::snprintf(ReplyUrl, kReplyUrlSize, "%s", replyUrl.c_str());
    if (body_) plat::Free(body_);
    return httpPost(contentType, data.data(), static_cast<uint32_t>(data.size()), &body_, &length_);
  }
  char* body_ = nullptr;
  int32_t length_ = -1;
};

TEST_F(HttpClientTest, GetReturnsTheBodyWithAZeroByteAfterIt) {
  server_->SetAnswer("http://updates.kelvo.com/s.txt", Body("send getversion\r\nwait 10\r\n"));
  ASSERT_EQ(Get("http://updates.kelvo.com/s.txt"), 200);
  ASSERT_NE(body_, nullptr);
  EXPECT_EQ(length_, 26);
  EXPECT_EQ(std::string(body_, 26), "send getversion\r\nwait 10\r\n");
  EXPECT_EQ(body_[26], '\0');

  auto requests = server_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].url, "http://updates.kelvo.com/s.txt");
  EXPECT_EQ(requests[0].Header("User-Agent"), "Kelvo Robot Updater");
  std::string accept = requests[0].Header("Accept");
  EXPECT_NE(accept.find("application/*"), std::string::npos) << accept;
  EXPECT_NE(accept.find("text/*"), std::string::npos) << accept;
  EXPECT_LT(accept.find("application/*"), accept.find("text/*"));
  EXPECT_NE(requests[0].head.find(" HTTP/1.1\r\n"), std::string::npos);
  EXPECT_TRUE(Log().empty());
}

TEST_F(HttpClientTest, AnExplicitPortAndTheQueryReachTheServer) {
  server_->SetAnswer("http://updates.kelvo.com:8080/a/s.txt?robot=7", Body("x"));
  ASSERT_EQ(Get("http://updates.kelvo.com:8080/a/b/../s.txt?robot=7"), 200);
  auto requests = server_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].url, "http://updates.kelvo.com:8080/a/s.txt?robot=7");
}

TEST_F(HttpClientTest, AServerStatusIsReturnedAndNoBodyRead) {
  ASSERT_EQ(Get("http://updates.kelvo.com/missing.txt"), 404);  // the server's default
  EXPECT_EQ(body_, nullptr);
  EXPECT_EQ(length_, 0);
  EXPECT_TRUE(Logged("ERROR: httpGet - QueryInfoStatusCode returned non-OK."));

  Answer error = Body("oops");
  error.status = 500;
  server_->SetAnswer("http://updates.kelvo.com/e.txt", error);
  EXPECT_EQ(Get("http://updates.kelvo.com/e.txt"), 500);
  EXPECT_EQ(body_, nullptr);
}

TEST_F(HttpClientTest, ZeroMissingOrChunkedLengthsGive411) {
  Answer zero;
  zero.length = Answer::Length::Custom;
  zero.lengthText = "0";
  server_->SetAnswer("http://updates.kelvo.com/zero", zero);
  EXPECT_EQ(Get("http://updates.kelvo.com/zero"), 411);
  EXPECT_EQ(body_, nullptr);
  EXPECT_TRUE(Log().empty());  // a zero length is refused without a line

  Answer none = Body("no length here");
  none.length = Answer::Length::None;
  server_->SetAnswer("http://updates.kelvo.com/none", none);
  EXPECT_EQ(Get("http://updates.kelvo.com/none"), 411);
  EXPECT_EQ(body_, nullptr);
  EXPECT_EQ(LoggedCount(kNoLengthLine), 1u);

  Answer chunked = Body("chunked body");
  chunked.chunked = true;
  server_->SetAnswer("http://updates.kelvo.com/chunked", chunked);
  EXPECT_EQ(Get("http://updates.kelvo.com/chunked"), 411);
  EXPECT_EQ(body_, nullptr);
  EXPECT_EQ(LoggedCount(kNoLengthLine), 2u);
}

TEST_F(HttpClientTest, TheSizeLimitIsInclusive) {
  std::string big(kMaxHttpBodySize, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7) % 251);
  server_->SetAnswer("http://updates.kelvo.com/limit.bin", Body(big));
  ASSERT_EQ(Get("http://updates.kelvo.com/limit.bin"), 200);
  ASSERT_EQ(length_, static_cast<int32_t>(kMaxHttpBodySize));
  EXPECT_EQ(std::memcmp(body_, big.data(), big.size()), 0);
  EXPECT_EQ(body_[kMaxHttpBodySize], '\0');

  // One byte more is refused on the header alone: nothing of it is read.
  Answer tooBig = Body("short");
  tooBig.length = Answer::Length::Custom;
  tooBig.lengthText = std::to_string(kMaxHttpBodySize + 1);
  server_->SetAnswer("http://updates.kelvo.com/big.bin", tooBig);
  EXPECT_EQ(Get("http://updates.kelvo.com/big.bin"), 413);
  EXPECT_EQ(body_, nullptr);
  EXPECT_TRUE(Logged("ERROR: httpGetBody - Get body failed. Entity too large."));

  // A length beyond 32 bits never wraps round to a small one.
  tooBig.lengthText = "4294967297";
  server_->SetAnswer("http://updates.kelvo.com/huge.bin", tooBig);
  EXPECT_EQ(Get("http://updates.kelvo.com/huge.bin"), 413);
  EXPECT_EQ(body_, nullptr);
}

TEST_F(HttpClientTest, ABodyShorterThanItsLengthIsAFailedRead) {
  Answer cut = Body(std::string(1000, 'F'));
  cut.closeAfterBodyBytes = 100;
  server_->SetAnswer("http://updates.kelvo.com/fw.bin", cut);
  EXPECT_EQ(Get("http://updates.kelvo.com/fw.bin"), 500);
  // The buffer was handed over before the read: the caller holds it, zeroed.
  ASSERT_NE(body_, nullptr);
  EXPECT_EQ(length_, 0);
  EXPECT_EQ(std::string(body_, 1001), std::string(1001, '\0'));
  EXPECT_TRUE(Logged(kGetExceptionLine));
  EXPECT_TRUE(Logged(ErrorLine(plat::kInternetErrorConnectionAborted)));

  // The same with a wrong length: more announced than the server has.
  Answer wrong = Body("only this");
  wrong.length = Answer::Length::Custom;
  wrong.lengthText = "5000";
  server_->SetAnswer("http://updates.kelvo.com/wrong.bin", wrong);
  EXPECT_EQ(Get("http://updates.kelvo.com/wrong.bin"), 500);
  ASSERT_NE(body_, nullptr);
  EXPECT_EQ(length_, 0);
}

TEST_F(HttpClientTest, AServerThatStopsAnsweringTimesOut) {
  plat::SetHttpSendReceiveTimeoutForTests(1000);
  Answer silent = Body("late");
  silent.stallMs = 8000;
  server_->SetAnswer("http://updates.kelvo.com/slow.txt", silent);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Get("http://updates.kelvo.com/slow.txt"), 500);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::milliseconds(6000));
  EXPECT_TRUE(Logged(kGetExceptionLine));
  EXPECT_TRUE(Logged(ErrorLine(plat::kInternetErrorTimeout)));
}

// A body that stalls after its first bytes ends after one receive time-out;
// a server that keeps the exchange alive without ever finishing it is ended
// by the limit on one exchange. Both with WinINet's time-out code.
TEST_F(HttpClientTest, StalledAndEndlessExchangesTimeOut) {
  struct Case {
    const char* why;
    Answer answer;
    uint32_t exchangeLimitMs;  // 0: the real one
    int endsWithinMs;
  };
  Answer stalled = Body(std::string(1000, 'S'));
  stalled.stallAfterBodyBytes = 100;
  stalled.stallMs = 9000;
  Answer interim = Body("late");
  interim.interimAnswers = 16;
  interim.interimEveryMs = 500;
  Answer trickle = Body(std::string(16, 'T'));
  trickle.trickleMs = 500;
  const Case cases[] = {
      // One 2 s time-out, not two.
      {"stalled after 100 bytes", stalled, 0, 3500},
      // The 3 s limit, not the server's 8 s.
      {"an interim answer every half second", interim, 3000, 4500},
      {"a byte every half second", trickle, 3000, 4500},
  };
  plat::SetHttpSendReceiveTimeoutForTests(2000);
  for (const Case& c : cases) {
    plat::SetHttpExchangeLimitForTests(c.exchangeLimitMs);
    SCOPED_TRACE(c.why);
    server_->SetAnswer("http://updates.kelvo.com/slow.bin", c.answer);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Get("http://updates.kelvo.com/slow.bin"), 500);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::milliseconds(c.endsWithinMs));
    EXPECT_EQ(length_, 0);
    EXPECT_EQ(LoggedCount(ErrorLine(plat::kInternetErrorTimeout)), LoggedCount(kGetExceptionLine));
  }
  plat::SetHttpExchangeLimitForTests(0);
}

TEST_F(HttpClientTest, RedirectsWithinTheAllowListAreFollowed) {
  Answer moved;
  moved.status = 302;
  moved.headers = {"Location: http://files.kelvo.net/fw/v2.bin"};
  server_->SetAnswer("http://updates.kelvo.com/fw.bin", moved);
  Answer relative;
  relative.status = 301;
  relative.headers = {"Location: ../final.bin"};
  server_->SetAnswer("http://files.kelvo.net/fw/v2.bin", relative);
  server_->SetAnswer("http://files.kelvo.net/final.bin", Body("firmware"));

  ASSERT_EQ(Get("http://updates.kelvo.com/fw.bin"), 200);
  EXPECT_EQ(std::string(body_, static_cast<size_t>(length_)), "firmware");
  auto requests = server_->Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].url, "http://files.kelvo.net/fw/v2.bin");
  EXPECT_EQ(requests[2].url, "http://files.kelvo.net/final.bin");
}

TEST_F(HttpClientTest, ARedirectOutsideTheAllowListIsRefused) {
  Answer away;
  away.status = 302;
  away.headers = {"Location: http://evilkelvo.com/fw.bin"};
  server_->SetAnswer("http://updates.kelvo.com/fw.bin", away);
  server_->SetAnswer("http://evilkelvo.com/fw.bin", Body("not ours"));

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(Get("http://updates.kelvo.com/fw.bin"), 403);
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Parsed Domain='evilkelvo.com'\n");
  EXPECT_EQ(body_, nullptr);
  EXPECT_EQ(server_->Requests().size(), 1u);  // the foreign host was never asked
  EXPECT_TRUE(Logged("ERROR: httpTestDomain - The request is forbidden because it is from an "
                     "unsupported domain [evilkelvo.com]"));
  EXPECT_TRUE(Logged("ERROR: httpOpenServer - Invalid domain. Error=403"));
  EXPECT_TRUE(Logged("ERROR: httpGet - httpOpenServer failed."));

  // Another scheme in a hop is refused the same way.
  away.headers = {"Location: ftp://updates.kelvo.com/fw.bin"};
  server_->SetAnswer("http://updates.kelvo.com/ftp.bin", away);
  EXPECT_EQ(Get("http://updates.kelvo.com/ftp.bin"), 403);

  // A hop's host is judged as written, whole or scheme-relative.
  for (const char* numeric : {"Location: http://170393871/fw.bin", "Location: //0x0a28010f/fw.bin"}) {
    away.headers = {numeric};
    server_->SetAnswer("http://updates.kelvo.com/num.bin", away);
    EXPECT_EQ(Get("http://updates.kelvo.com/num.bin"), 403) << numeric;
  }
}

TEST_F(HttpClientTest, EndlessRedirectsEndTheExchange) {
  Answer loop;
  loop.status = 307;
  loop.headers = {"Location: /loop"};
  server_->SetAnswer("http://updates.kelvo.com/loop", loop);
  EXPECT_EQ(Get("http://updates.kelvo.com/loop"), 500);
  EXPECT_EQ(server_->Requests().size(), static_cast<size_t>(kMaxRedirectHops + 1));
  EXPECT_TRUE(Logged(ErrorLine(plat::kHttpErrorRedirectFailed)));

  // A redirect without a Location is an ordinary answer.
  Answer bare;
  bare.status = 302;
  server_->SetAnswer("http://updates.kelvo.com/bare", bare);
  EXPECT_EQ(Get("http://updates.kelvo.com/bare"), 302);
}

TEST_F(HttpClientTest, AnUnallowedUrlIsRefusedBeforeAnythingIsSent) {
  EXPECT_EQ(Get("http://evil.example/s.txt"), 403);
  EXPECT_EQ(Get("updates.kelvo.com/s.txt"), 400);
  EXPECT_EQ(server_->Requests().size(), 0u);
  EXPECT_EQ(LoggedCount("ERROR: httpGet - httpOpenServer failed."), 2u);
  EXPECT_TRUE(Logged("ERROR: httpOpenServer - Invalid domain. Error=400"));
}

TEST_F(HttpClientTest, NoMemoryForTheBodyGives500WithoutExceptionLines) {
  server_->SetAnswer("http://updates.kelvo.com/s.txt", Body("abc"));
  plat::FailNthAllocation(1);
  EXPECT_EQ(Get("http://updates.kelvo.com/s.txt"), 500);
  plat::FailNthAllocation(0);
  EXPECT_EQ(body_, nullptr);
  EXPECT_TRUE(Logged("ERROR: httpGetBody - Get body failed. Out of memory."));
  EXPECT_FALSE(Logged(kGetExceptionLine));
}

TEST_F(HttpClientTest, PostSendsTheDataWithOneContentTypeHeader) {
  Answer reply = Body("send getversion\r\n");
  server_->SetAnswer("http://updates.kelvo.com/report", reply);
  std::string data("--K3LV0HGQHP\r\n\0%s%d\r\n", 20);
  const char* type = "multipart/form-data, boundary=K3LV0HGQHP";
  ASSERT_EQ(Post("http://updates.kelvo.com/report", type, data), 200);
  EXPECT_EQ(std::string(body_, static_cast<size_t>(length_)), "send getversion\r\n");

  auto requests = server_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, data);
  EXPECT_EQ(requests[0].HeaderCount("Content-Type"), 1);
  EXPECT_EQ(requests[0].Header("Content-Type"), type);
  EXPECT_EQ(requests[0].Header("Content-Length"), "20");
  EXPECT_TRUE(Logged("httpPost - SendRequest returned status code = 200"));
}

TEST_F(HttpClientTest, PostStatusAndFailures) {
  // A refusing server: its status, logged twice.
  EXPECT_EQ(Post("http://updates.kelvo.com/nobody", "text/plain", "x"), 404);
  EXPECT_TRUE(Logged("httpPost - SendRequest returned status code = 404"));
  EXPECT_TRUE(Logged("ERROR: httpPost - HTTP Send failed. Error = 404"));
  EXPECT_EQ(body_, nullptr);

  // An empty reply (200 without a body) is 411, as for a GET.
  Answer empty;
  server_->SetAnswer("http://updates.kelvo.com/empty", empty);
  EXPECT_EQ(Post("http://updates.kelvo.com/empty", "text/plain", "x"), 411);

  // No Reply-To: nothing can be parsed, nothing is sent.
  size_t before = server_->Requests().size();
  EXPECT_EQ(Post("", "text/plain", "x"), 400);
  EXPECT_TRUE(Logged("ERROR: httpPost - Http Open Server failed. Error = 400"));
  EXPECT_EQ(server_->Requests().size(), before);
}

TEST_F(HttpClientTest, APostRedirectedBy303BecomesAGet) {
  Answer seeOther;
  seeOther.status = 303;
  seeOther.headers = {"Location: http://updates.kelvo.com/next.txt"};
  server_->SetAnswer("http://updates.kelvo.com/report", seeOther);
  server_->SetAnswer("http://updates.kelvo.com/next.txt", Body("wait 1\r\n"));
  ASSERT_EQ(Post("http://updates.kelvo.com/report", "text/plain", "data"), 200);
  auto requests = server_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].method, "GET");
  EXPECT_EQ(requests[1].body, "");
}

TEST_F(HttpClientTest, APostCutShortInTheReplyGives500) {
  Answer cut = Body(std::string(64, 'r'));
  cut.closeAfterBodyBytes = 10;
  server_->SetAnswer("http://updates.kelvo.com/report", cut);
  EXPECT_EQ(Post("http://updates.kelvo.com/report", "text/plain", "x"), 500);
  EXPECT_NE(body_, nullptr);
  EXPECT_EQ(length_, 0);
  EXPECT_TRUE(Logged(kPostExceptionLine));
}

// HTTPS with certificate checking on: a self-signed certificate is refused,
// through a CONNECT tunnel to port 443 of the allow-listed host.
TEST_F(HttpClientTest, AnUntrustedCertificateGives500) {
  test_server::TlsEndpoint tls;
  ASSERT_TRUE(test_server::StartTlsEndpoint("/usr/bin/openssl", "/usr/bin/timeout", "updates.kelvo.com", 60, &tls))
      << "openssl and timeout must be installed";
  server_->SetTunnel("updates.kelvo.com:443", tls.port);
  EXPECT_EQ(Get("https://updates.kelvo.com/s.txt"), 500);
  test_server::StopTlsEndpoint(&tls);

  EXPECT_EQ(body_, nullptr);
  auto tunnels = server_->Tunnels();
  ASSERT_EQ(tunnels.size(), 1u);
  EXPECT_EQ(tunnels[0], "updates.kelvo.com:443");  // no port written: 443
  EXPECT_TRUE(server_->Requests().empty());        // nothing went in the clear
  EXPECT_TRUE(Logged(kGetExceptionLine));
  // Both backends name it an untrusted authority.
  EXPECT_TRUE(Logged(ErrorLine(plat::kInternetErrorInvalidCa)));
}

}  // namespace
