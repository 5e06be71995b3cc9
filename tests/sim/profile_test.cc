// The INI rules, read from the shared files under tests/sim/data. Windows
// answers through GetPrivateProfileStringA/IntA, Linux through our reader;
// the expectations are the same for both.
#include <gtest/gtest.h>

#include <string>

#include "platform/files.h"
#include "platform/profile.h"
#include "support/test_support.h"

namespace {

std::string DataFile(const std::string& name) {
  std::string source = testing_support::EnvOr("KELVO_SOURCE_DIR", "");
  const char* sep = plat::kPathSeparator;
  return source + sep + "tests" + sep + "sim" + sep + "data" + sep + name;
}

const std::string kRules = DataFile("profile_rules.ini");

std::string Text(const std::string& path, const char* section, const char* key,
                 const char* fallback = "default", uint32_t size = 255) {
  char out[300];
  uint32_t n = plat::ReadProfileString(path.c_str(), section, key, fallback, out, size);
  std::string value(out);
  EXPECT_EQ(n, value.size()) << section << "/" << key;
  return value;
}

int32_t Number(const std::string& path, const char* section, const char* key) {
  return plat::ReadProfileInt(path.c_str(), section, key, 77);
}

TEST(ProfileTest, DataFilesAreThere) {
  ASSERT_TRUE(testing_support::FileExists(kRules)) << kRules << " (is KELVO_SOURCE_DIR set?)";
}

TEST(ProfileTest, SectionAndKeyNamesMatchInAnyCase) {
  EXPECT_EQ(Text(kRules, "Case", "MixedCase"), "1");
  EXPECT_EQ(Text(kRules, "CASE", "mixedcase"), "1");
  EXPECT_EQ(Number(kRules, "case", "MIXEDCASE"), 1);
}

TEST(ProfileTest, BlanksAroundNamesAndValuesAreDropped) {
  // The line is "  \t Spaced Key \t=  \t spaced value \t " under "[ Blanks ]".
  EXPECT_EQ(Text(kRules, "Blanks", "Spaced Key"), "spaced value");
  EXPECT_EQ(Text(kRules, " Blanks ", "  spaced key\t"), "spaced value");
  EXPECT_EQ(Text(kRules, "Blanks", "Inner"), "a  b");
}

TEST(ProfileTest, FirstKeyAndFirstSectionOfANameWin) {
  EXPECT_EQ(Text(kRules, "Duplicates", "First"), "one");
  // The first NoValue has no '=': it still decides, and gives the default.
  EXPECT_EQ(Text(kRules, "Duplicates", "novalue"), "default");
  EXPECT_EQ(Number(kRules, "Duplicates", "novalue"), 77);
  // A second [case] further down is never searched.
  EXPECT_EQ(Text(kRules, "Case", "Second"), "default");
}

TEST(ProfileTest, SemicolonLinesAreNotKeysAnyoneAsksFor) {
  EXPECT_EQ(Text(kRules, "Comments", "Hardware"), "Zarn");
  EXPECT_EQ(Text(kRules, "Comments", "Semicolon"), "default");
  // Not a comment syntax: the line is a key whose name starts with ';'.
  EXPECT_EQ(Text(kRules, "Comments", ";Semicolon"), "kept");
  EXPECT_EQ(Text(kRules, "Comments", "Inline"), "Zarn ; not a comment");
}

TEST(ProfileTest, MatchingQuotesAroundAValueGo) {
  EXPECT_EQ(Text(kRules, "Quotes", "Double"), "q v");
  EXPECT_EQ(Text(kRules, "Quotes", "Single"), "s q");
  EXPECT_EQ(Text(kRules, "Quotes", "Padded"), " x ");
  EXPECT_EQ(Text(kRules, "Quotes", "Open"), "\"abc");
  EXPECT_EQ(Text(kRules, "Quotes", "Close"), "abc\"");
  EXPECT_EQ(Text(kRules, "Quotes", "Lone"), "\"");
  EXPECT_EQ(Text(kRules, "Quotes", "Mixed"), "\"abc'");
  EXPECT_EQ(Text(kRules, "Quotes", "Empty"), "");
  EXPECT_EQ(Number(kRules, "Quotes", "Empty"), 77);
}

TEST(ProfileTest, IntegersReadLikeWindows) {
  EXPECT_EQ(Number(kRules, "Numbers", "Negative"), -3);
  EXPECT_EQ(Number(kRules, "Numbers", "Text"), 0);
  EXPECT_EQ(Number(kRules, "Numbers", "Leading"), 12);
  EXPECT_EQ(Number(kRules, "Numbers", "Hex"), 16);
  EXPECT_EQ(Number(kRules, "Numbers", "UpperHex"), 0);
  EXPECT_EQ(Number(kRules, "Numbers", "NegativeHex"), -16);
  EXPECT_EQ(Number(kRules, "Numbers", "Plus"), 4);
  EXPECT_EQ(Number(kRules, "Numbers", "QuotedText"), 0);
  EXPECT_EQ(Number(kRules, "Numbers", "QuotedNumber"), 7);
  EXPECT_EQ(Number(kRules, "Numbers", "TwoNumbers"), 12);
  EXPECT_EQ(Number(kRules, "Numbers", "SignOnly"), 0);
  EXPECT_EQ(Number(kRules, "Numbers", "LeadingZero"), 8);
  EXPECT_EQ(Number(kRules, "Numbers", "Octal"), 15);
  EXPECT_EQ(Number(kRules, "Numbers", "Binary"), 5);
  EXPECT_EQ(Number(kRules, "Numbers", "Wrapped"), -1);
  EXPECT_EQ(Number(kRules, "Numbers", "Big"), 1215752191);  // 99999999999 in 32 bits
}

TEST(ProfileTest, EmptyValueIsEmptyTextButDefaultNumber) {
  EXPECT_EQ(Text(kRules, "Numbers", "Empty"), "");
  EXPECT_EQ(Number(kRules, "Numbers", "Empty"), 77);
  EXPECT_EQ(Text(kRules, "Numbers", "Blank"), "");
  EXPECT_EQ(Number(kRules, "Numbers", "Blank"), 77);
}

TEST(ProfileTest, MissingFileSectionOrKeyGivesTheDefault) {
  std::string missing = DataFile("no_such_settings.ini");
  EXPECT_EQ(Text(missing, "Case", "MixedCase", "ResponseFiles"), "ResponseFiles");
  EXPECT_EQ(Number(missing, "Case", "MixedCase"), 77);
  EXPECT_EQ(Text(kRules, "NoSuchSection", "MixedCase", "ResponseFiles"), "ResponseFiles");
  EXPECT_EQ(Number(kRules, "NoSuchSection", "MixedCase"), 77);
  EXPECT_EQ(Text(kRules, "Numbers", "NoSuchKey", "ResponseFiles"), "ResponseFiles");
  EXPECT_EQ(Number(kRules, "Numbers", "NoSuchKey"), 77);
  // The default loses trailing blanks, and quotes like a value.
  EXPECT_EQ(Text(missing, "Case", "MixedCase", "dflt  "), "dflt");
  EXPECT_EQ(Text(missing, "Case", "MixedCase", "\"q\""), "q");
}

TEST(ProfileTest, TextsAreCutToTheBuffer) {
  EXPECT_EQ(Text(kRules, "Long", "Text", "", 255), std::string(254, 'x'));
  EXPECT_EQ(Text(kRules, "Long", "Text", "", 260), std::string(259, 'x'));
  EXPECT_EQ(Text(kRules, "Quotes", "Double", "", 5), "q v");
  // Too small for the quoted value: what fits, without the closing quote.
  EXPECT_EQ(Text(kRules, "Quotes", "Double", "", 3), "q ");
  EXPECT_EQ(Text(kRules, "Quotes", "Double", "", 1), "");
}

TEST(ProfileTest, HeadersIgnoreTrailingTextAndBrokenHeadersAreSkipped) {
  EXPECT_EQ(Text(kRules, "Header", "After"), "1");
  // "[Broken" has no ']': its key stays in [Header].
  EXPECT_EQ(Text(kRules, "Header", "InBroken"), "2");
  EXPECT_EQ(Text(kRules, "Broken", "InBroken"), "default");
}

TEST(ProfileTest, LfCrAndByteOrderMarkFilesRead) {
  for (const char* name : {"profile_lf.ini", "profile_cr.ini", "profile_bom.ini"}) {
    std::string path = DataFile(name);
    EXPECT_EQ(Text(path, "Robot", "Hardware"), "Zarn") << name;
    EXPECT_EQ(Number(path, "robot", "softwareversion"), 3) << name;
  }
}

}  // namespace
