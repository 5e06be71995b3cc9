// The allow-list: which URLs the program may use at all. Only httpTestDomain
// and ParseUrl are called here; nothing is sent anywhere.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "web/allow_list.h"
#include "web_fixture.h"

namespace {

using web_test::LogFixture;

const char kProtocolLine[] =
    "ERROR: httpTestDomain - Request is forbidden because the protocol is neither HTTP or HTTPS";
const char kParseLine[] = "ERROR: httpTestDomain - Could not parse the URL, return 400 Bad Request";

class AllowListTest : public LogFixture {
 protected:
  // The status, with what went to standard output kept in stdout_.
  int Test(const char* url) {
    ::testing::internal::CaptureStdout();
    int status = httpTestDomain(url);
    stdout_ = ::testing::internal::GetCapturedStdout();
    return status;
  }
  std::string stdout_;
};

TEST(AllowedDomainsTest, FiveLowerCaseEntriesInTheirOrder) {
  ASSERT_EQ(kAllowedDomainCount, 5);
  EXPECT_STREQ(AllowedDomains[0], "kelvo.com");
  EXPECT_STREQ(AllowedDomains[1], "kelvorobotics.com");
  EXPECT_STREQ(AllowedDomains[2], "10.40.1.15");
  EXPECT_STREQ(AllowedDomains[3], "kelvo.net");
  EXPECT_STREQ(AllowedDomains[4], "kelvoupdates.com");
}

TEST_F(AllowListTest, EntriesAndNamesUnderThemAreAllowedInAnyLetterCase) {
  const char* allowed[] = {
      "http://kelvo.com/",                         // an entry itself
      "http://KELVO.COM/x",                        // capitals
      "https://Updates.KelvoRobotics.Com/a.txt",   // mixed case, a sub-domain
      "http://10.40.1.15/update.txt",              // the address, whole
      "http://a.b.kelvo.net/",                     // deeper sub-domain
      "https://files.kelvoupdates.com:8443/x?y=1", // port and query play no part
  };
  for (const char* url : allowed) {
    EXPECT_EQ(Test(url), 200) << url;
    EXPECT_EQ(stdout_, "") << url;
  }
  EXPECT_TRUE(Log().empty());
}

TEST_F(AllowListTest, HttpAndHttpsAndAnyPortGiveTheSameAnswer) {
  EXPECT_EQ(Test("http://updates.kelvo.com/s.txt"), 200);
  EXPECT_EQ(Test("https://updates.kelvo.com/s.txt"), 200);
  EXPECT_EQ(Test("http://updates.kelvo.com:8080/s.txt"), 200);
  EXPECT_EQ(Test("http://evil.example/s.txt"), 403);
  EXPECT_EQ(Test("https://evil.example:443/s.txt"), 403);
}

TEST_F(AllowListTest, LookAlikesAreRefused) {
  const char* refused[] = {
      "http://elvo.com/",                   // an entry without its first character
      "http://evilkelvo.com/",              // ends with an entry's text, but no dot before it
      "http://notkelvorobotics.com/",       // the same for the second entry
      "http://110.40.1.15/",                // the address entry is never a tail
      "http://x.10.40.1.15/",               // nor a parent of other names
      "http://10.40.1.15.evil.example/",    // the address as a sub-domain elsewhere
      "http://kelvo.com.evil.example/",     // an entry as a sub-domain elsewhere
      "http://kelvo.co/",                   // shorter than any entry
  };
  for (const char* url : refused) {
    EXPECT_EQ(Test(url), 403) << url;
    EXPECT_NE(stdout_.find("Parsed Domain='"), std::string::npos) << url;
  }
}

TEST_F(AllowListTest, ARefusedHostGivesTheStdoutLineAndTheLogLine) {
  EXPECT_EQ(Test("http://Downloads.Very-Long-Host-Name.Evil.Example.org/fw.bin"), 403);
  // At most 24 characters, the tail, in lower case; the log keeps the case.
  EXPECT_EQ(stdout_, "Parsed Domain='st-name.evil.example.org'\n");
  EXPECT_TRUE(Logged("ERROR: httpTestDomain - The request is forbidden because it is from an "
                     "unsupported domain [Downloads.Very-Long-Host-Name.Evil.Example.org]"));

  EXPECT_EQ(Test("http://EVIL.example/"), 403);
  EXPECT_EQ(stdout_, "Parsed Domain='evil.example'\n");
}

TEST_F(AllowListTest, OtherSchemesAreRefusedWithTheProtocolLine) {
  const char* refused[] = {
      "ftp://kelvo.com/fw.bin",       // allowed host, wrong protocol
      "file:///C:/robot/fw.bin",
      "file://kelvo.com/fw.bin",
  };
  for (const char* url : refused) {
    EXPECT_EQ(Test(url), 403) << url;
    EXPECT_EQ(stdout_, "") << url;  // the host isn't looked at
  }
  EXPECT_EQ(LoggedCount(kProtocolLine), 3u);
}

TEST_F(AllowListTest, TextThatIsNoUrlGives400) {
  EXPECT_EQ(Test("kelvo.com/update.txt"), 400);  // no scheme
  EXPECT_EQ(Test(""), 400);
  EXPECT_EQ(Test(nullptr), 400);
  EXPECT_EQ(Test("http://"), 400);               // no host
  EXPECT_EQ(LoggedCount(kParseLine), 4u);
  EXPECT_EQ(stdout_, "");
}

// Ways a URL might smuggle a foreign host past a text match. Each is refused,
// or allowed only because the host that would really be contacted is ours.
TEST_F(AllowListTest, BypassCorpus) {
  struct Case {
    const char* url;
    int status;
    const char* why;
  };
  const Case cases[] = {
      {"http://kelvo.com@evil.example/", 403, "kelvo.com is user information; the host is evil.example"},
      {"http://kelvo.com:pw@evil.example/", 403, "user and password before the real host"},
      {"http://evil.example/?u=http://kelvo.com/", 403, "an allowed name in the query is not the host"},
      {"http://evil.example/#kelvo.com", 403, "nor in the fragment"},
      {"http://evil.example/kelvo.com", 403, "nor in the path"},
      {"http://evil.example#@kelvo.com/", 403, "the fragment starts before the @, so no user part"},
      {"http://evil.example\\@kelvo.com/", 403, "a backslash ends the host as a slash would"},
      {"http://kelvo.com%2eevil.example/", 400, "a decoded dot makes kelvo.com a sub-domain elsewhere"},
      // The host is judged as written, but an escape in it is decoded before the lookup.
      {"http://up%dates.kelvo.com/s.txt", 400, "%da would be looked up as the byte 0xDA"},
      {"http://user%40x@updates.kelvo.com/", 200, "an escape in the user information is not in the host"},
      {"http://kelvo.com./", 403, "the trailing-dot form is not written in the list"},
      {"http://[::1]/", 403, "an IPv6 literal is no entry"},
      {"http://[::ffff:10.40.1.15]/", 403, "nor is the address mapped into IPv6"},
      {"http://10.40.1.15.evil.example/", 403, "the address entry matches only the whole host"},
      {"http://evil.example:80@kelvo.com.evil.example/", 403, "the real host ends in evil.example"},
      // Hosts are judged as written: the other spellings of the address entry are no entry.
      {"http://170393871/", 403, "the address as one decimal number"},
      {"http://0x0a28010f/", 403, "as one hexadecimal number"},
      {"http://012.050.01.017/", 403, "in octal parts"},
      {"http://10.40.271/", 403, "with its last two parts as one"},
      {"http://10.2621711/", 403, "with its last three parts as one"},
      {"http://0xa.40.1.15/", 403, "with a hexadecimal part"},
      // A byte outside printable ASCII in the host never reaches a name lookup.
      {"http://upd\xe4tes.kelvo.com/", 400, "a byte above 127"},
      {"http://updates\t.kelvo.com/", 400, "a tab"},
      {"http://updates.kelvo.com\x7f/", 400, "DEL"},
      {"http://x\x01@updates.kelvo.com\x01:80/", 400, "a control byte before the port"},
      {"http://updates.kelvo.com/r2   ", 200, "blanks at the end are dropped"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Test(c.url), c.status) << c.url << ": " << c.why;
  }
}

TEST_F(AllowListTest, PercentEncodedHostIsJudgedAsTheHostReallyContacted) {
  // Some URL parsers decode the host, others keep the escapes: either way the
  // allow-list judges exactly the name that httpOpenServer would connect to.
  UrlService service;
  char host[kUrlPartSize];
  char object[kUrlPartSize];
  uint16_t port = 0;
  int status = Test("http://%6Belvo.com/");
  if (ParseUrl("http://%6Belvo.com/", &service, host, object, &port)) {
    EXPECT_EQ(status, std::string(host) == "kelvo.com" ? 200 : 403) << host;
  } else {
    EXPECT_EQ(status, 400);
  }
  EXPECT_NE(Test("http://evil%2Eexample/"), 200);
}

TEST(ParseUrlTest, SplitsSchemeHostObjectAndPort) {
  UrlService service;
  char host[kUrlPartSize];
  char object[kUrlPartSize];
  uint16_t port = 0;

  ASSERT_TRUE(ParseUrl("https://Updates.Kelvo.com/a/../b/c.txt?x=1#frag", &service, host, object, &port));
  EXPECT_EQ(service, UrlService::Https);
  EXPECT_STREQ(host, "Updates.Kelvo.com");
  EXPECT_STREQ(object, "/b/c.txt?x=1");  // dot segments resolved, the query kept, no fragment
  EXPECT_EQ(port, 443);

  ASSERT_TRUE(ParseUrl("http://user:pw@kelvo.com:8080", &service, host, object, &port));
  EXPECT_EQ(service, UrlService::Http);
  EXPECT_STREQ(host, "kelvo.com");
  EXPECT_STREQ(object, "/");
  EXPECT_EQ(port, 8080);

  ASSERT_TRUE(ParseUrl("http://kelvo.com/a file.txt", &service, host, object, &port));
  EXPECT_STREQ(object, "/a%20file.txt");
  EXPECT_EQ(port, 80);

  ASSERT_TRUE(ParseUrl("ftp://kelvo.com/x", &service, host, object, &port));
  EXPECT_EQ(service, UrlService::Other);

  EXPECT_FALSE(ParseUrl("no scheme here", &service, host, object, &port));
  EXPECT_EQ(service, UrlService::Other);
  EXPECT_FALSE(ParseUrl(nullptr, &service, host, object, &port));
}

TEST(ParseUrlTest, PartsLongerThanTheUrlLimitFail) {
  UrlService service;
  char host[kUrlPartSize];
  char object[kUrlPartSize];
  uint16_t port = 0;
  std::string longPath = "http://kelvo.com/" + std::string(3000, 'a');
  EXPECT_FALSE(ParseUrl(longPath.c_str(), &service, host, object, &port));
  std::string fits = "http://kelvo.com/" + std::string(1000, 'a');
  EXPECT_TRUE(ParseUrl(fits.c_str(), &service, host, object, &port));
  EXPECT_EQ(std::strlen(object), 1001u);
}

}  // namespace
