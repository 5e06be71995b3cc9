#include <gtest/gtest.h>

#include "platform/text.h"

TEST(Text, OnlyAsciiLettersFold) {
  EXPECT_TRUE(plat::EqualsNoCase("HKEY_Local_Machine", "hkey_local_machine"));
  EXPECT_FALSE(plat::EqualsNoCase("getversion", "getversion2"));
  EXPECT_FALSE(plat::EqualsNoCase("", "a"));
  // Bytes of the upper half are compared as they are, whatever the locale.
  EXPECT_FALSE(plat::EqualsNoCase("\xC4", "\xE4"));
  EXPECT_EQ('[', plat::AsciiLower('['));
  EXPECT_EQ('@', plat::AsciiLower('@'));
}

TEST(Text, PrefixesFoldOnBothSides) {
  EXPECT_TRUE(plat::StartsWithNoCase("HTTPS://updates.kelvo.com", "https:"));
  EXPECT_TRUE(plat::StartsWithNoCase("https://x", "HTTPS:"));
  EXPECT_FALSE(plat::StartsWithNoCase("http", "https:"));
}
