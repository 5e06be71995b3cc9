#include <gtest/gtest.h>

#include "app/find_no_case.h"

TEST(FindNoCase, FindsTheFirstPlaceWhateverTheCase) {
  const char* text = "upload code REBOOT and reboot";
  EXPECT_EQ(text + 12, FindNoCase(text, "reboot"));
  EXPECT_EQ(text + 12, FindNoCase(text, "ReBoOt"));
  const char* url = "kelvo://h/s.txt?a=1&REPLY-TO=abcde";
  EXPECT_EQ(url + 19, FindNoCase(url, "&Reply-To="));
}

TEST(FindNoCase, NothingInEmptyTextAndNoMatchPastTheEnd) {
  EXPECT_EQ(nullptr, FindNoCase("", "a"));
  EXPECT_EQ(nullptr, FindNoCase("rebo", "reboot"));
  EXPECT_EQ(nullptr, FindNoCase("noreboo", "reboot"));
  const char* text = "noreboot";
  EXPECT_EQ(text + 2, FindNoCase(text, "reboot"));
}
