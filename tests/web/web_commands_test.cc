// The get and reply-to commands, and their places in the command table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>
#include <string>

#include "script/engine.h"
#include "script/web_commands.h"
#include "web_fixture.h"

namespace {

using web_test::ServerFixture;

class WebCommandsTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    LastError = 77;
  }
};

TEST(CommandTableTest, WebCommandsKeepTheirPlaces) {
  std::vector<std::string> words;
  for (const CommandEntry* e = CommandTable; e->handler; ++e) words.push_back(e->word);
  auto at = [&](const char* w) { return std::find(words.begin(), words.end(), w) - words.begin(); };
  ASSERT_LT(at("reply-to"), static_cast<long>(words.size()));
  ASSERT_LT(at("get"), static_cast<long>(words.size()));
  EXPECT_EQ(at("reply-to"), 0);
  EXPECT_LT(at("wait"), at("get"));
  EXPECT_LT(at("get"), at("getlocal"));
}

TEST_F(WebCommandsTest, GetLoadsTheFileForUpload) {
  server_->SetAnswer("http://updates.kelvo.com/fw1.bin", Body("first image"));
  EXPECT_EQ(doGet("get http://updates.kelvo.com/fw1.bin", "http://updates.kelvo.com/fw1.bin"),
            CommandStatus::OK);
  ASSERT_NE(pFileRxBuffer, nullptr);
  EXPECT_EQ(FileRxSize, 11);
  EXPECT_STREQ(pFileRxBuffer, "first image");
  EXPECT_EQ(LastError, 77);
}

TEST_F(WebCommandsTest, GetWithoutArgumentIsBadUrl) {
  EXPECT_EQ(doGet("get", nullptr), CommandStatus::BadUrl);
  EXPECT_EQ(LastError, 77);
  EXPECT_TRUE(server_->Requests().empty());
}

TEST_F(WebCommandsTest, GetOfARefusedUrlIsHttpError403) {
  EXPECT_EQ(doGet("get", "http://evil.example/fw.bin"), CommandStatus::HttpError);
  EXPECT_EQ(LastError, 403);
  EXPECT_EQ(pFileRxBuffer, nullptr);
  EXPECT_TRUE(server_->Requests().empty());

  char line[] = "GET updates.kelvo.com/x";
  EXPECT_EQ(DispatchScriptLine(line), CommandStatus::HttpError);
  EXPECT_EQ(LastError, 400);
}

TEST_F(WebCommandsTest, ASecondGetReleasesTheFirstFile) {
  server_->SetAnswer("http://updates.kelvo.com/fw1.bin", Body("first image"));
  server_->SetAnswer("http://updates.kelvo.com/fw2.bin", Body("second"));
  ASSERT_EQ(doGet("get", "http://updates.kelvo.com/fw1.bin"), CommandStatus::OK);
  ASSERT_EQ(doGet("get", "http://updates.kelvo.com/fw2.bin"), CommandStatus::OK);
  EXPECT_STREQ(pFileRxBuffer, "second");
  EXPECT_EQ(FileRxSize, 6);

  // A failed fetch before any body was allocated leaves nothing behind.
  EXPECT_EQ(doGet("get", "http://updates.kelvo.com/gone.bin"), CommandStatus::HttpError);
  EXPECT_EQ(LastError, 404);
  EXPECT_EQ(pFileRxBuffer, nullptr);
  EXPECT_EQ(FileRxSize, 0);
}

TEST_F(WebCommandsTest, ACutDownloadIsNeverTakenForAFile) {
  test_server::Answer cut = Body(std::string(4096, 'F'));
  cut.closeAfterBodyBytes = 1000;
  server_->SetAnswer("http://updates.kelvo.com/fw.bin", cut);
  EXPECT_EQ(doGet("get", "http://updates.kelvo.com/fw.bin"), CommandStatus::HttpError);
  EXPECT_EQ(LastError, 500);
  // The zeroed buffer stays with the run (released at its end), size 0.
  ASSERT_NE(pFileRxBuffer, nullptr);
  EXPECT_EQ(FileRxSize, 0);
  EXPECT_EQ(pFileRxBuffer[0], '\0');
}

TEST_F(WebCommandsTest, ReplyToStoresAnAllowedUrlAsWritten) {
  EXPECT_EQ(doReplyTo("reply-to", "http://updates.kelvo.com/report  "), CommandStatus::OK);
  EXPECT_STREQ(ReplyUrl, "http://updates.kelvo.com/report  ");
  EXPECT_EQ(LastError, 77);
  EXPECT_TRUE(server_->Requests().empty());  // a test, not a request
}

TEST_F(WebCommandsTest, ReplyToRefusalsLeaveTheStoredUrl) {
  std::strcpy(ReplyUrl, "http://updates.kelvo.com/kept");
  EXPECT_EQ(doReplyTo("reply-to", nullptr), CommandStatus::BadUrl);
  EXPECT_EQ(doReplyTo("reply-to", "http://evil.example/r"), CommandStatus::BadUrl);
  EXPECT_EQ(doReplyTo("reply-to", "not a url"), CommandStatus::BadUrl);
  EXPECT_STREQ(ReplyUrl, "http://updates.kelvo.com/kept");
  EXPECT_EQ(LastError, 77);
}

TEST_F(WebCommandsTest, ReplyToOf1024CharactersIsRefusedAfterTheAllowListPassed) {
  std::string base = "http://updates.kelvo.com/";
  std::string longUrl = base + std::string(1024 - base.size(), 'r');
  ASSERT_EQ(longUrl.size(), 1024u);
  std::strcpy(ReplyUrl, "http://updates.kelvo.com/kept");
  EXPECT_EQ(doReplyTo("reply-to", longUrl.c_str()), CommandStatus::BadUrl);
  EXPECT_STREQ(ReplyUrl, "http://updates.kelvo.com/kept");
  EXPECT_TRUE(Log().empty());  // the allow-list accepted it: no refusal line

  std::string fits = longUrl.substr(0, 1023);
  EXPECT_EQ(doReplyTo("reply-to", fits.c_str()), CommandStatus::OK);
  EXPECT_EQ(std::string(ReplyUrl), fits);
}

}  // namespace
