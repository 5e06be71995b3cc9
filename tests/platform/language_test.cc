#include <gtest/gtest.h>

#include <string>

#include "platform/files.h"
#include "platform/language.h"

// A translated usage text reaches a command prompt readable: on Windows in
// the console's (or the ANSI) code page, one byte a letter where UTF-8 has
// two; on Linux as the UTF-8 it is.
TEST(Language, TranslatedTextsReachStandardOutputInItsCharacterSet) {
  const std::string utf8 = "Mise \xC3\xA0 jour : U\xC5\xBC" "ycie";  // "Mise à jour : Użycie"
  std::string out = plat::ForStandardOutput(utf8.c_str());
  if (plat::kPathSeparator[0] == '\\') {
    EXPECT_EQ(utf8.size() - 2, out.size()) << out;
    EXPECT_EQ(0u, out.find("Mise ")) << out;
    EXPECT_EQ(6u, out.find(" jour : U")) << out;
    EXPECT_EQ("ycie", out.substr(out.size() - 4)) << out;
  } else {
    EXPECT_EQ(utf8, out);
  }
  EXPECT_EQ("plain ASCII\n", plat::ForStandardOutput("plain ASCII\n"));
}
