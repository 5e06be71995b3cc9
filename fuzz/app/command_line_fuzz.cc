// Feeds arbitrary text to the command line handling as a web page (through
// the browser) or a user would: the end quotes stripped as at start-up, the
// road chosen, and on the URL road the URL cut in a buffer of exactly the
// size RunMain gives it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/app.h"
#include "platform/text.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool IsTrimSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The first place where marker stands, letter case ignored, or npos.
size_t FindMarker(const std::string& text, const char* marker) {
  std::string lower;
  for (char c : text) lower.push_back(plat::AsciiLower(c));
  std::string wanted;
  for (const char* p = marker; *p; ++p) wanted.push_back(plat::AsciiLower(*p));
  return lower.find(wanted);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string working(reinterpret_cast<const char*>(data), size);
  working.resize(std::strlen(working.c_str()));  // the command line is zero-terminated text
  if (!working.empty() && working.front() == '"') working.erase(0, 1);
  if (!working.empty() && working.back() == '"') working.pop_back();

  bool local = TakesLocalRoad(working);
  if (plat::StartsWithNoCase(working, "kelvo://")) Check(!local);
  if (local) {
    Check(FindMarker(working, "/NOSERVER") != std::string::npos);
    std::string path = LocalScriptPath(working);
    Check(working.size() > 9 || path.empty());
    if (!path.empty()) {
      Check(!IsTrimSpace(path.front()) && !IsTrimSpace(path.back()));
      Check(working.find(path, 9) != std::string::npos);
    }
    return 0;
  }
  if (std::strncmp(working.c_str(), "kelvo://", 8) != 0) return 0;

  // The URL buffer: the command line's length plus 5 bytes, zeroed.
  size_t length = working.size();
  char* url = static_cast<char*>(std::malloc(length + 5));
  Check(url != nullptr);
  std::memset(url, 0, length + 5);
  std::memcpy(url, working.c_str(), length);
  const char* replyTo = CutReplyTo(url);
  MakeHttpUrl(url);

  size_t marker = FindMarker(working, "?Reply-To=");
  if (marker == std::string::npos) marker = FindMarker(working, "&Reply-To=");
  std::string expectedUrl = "http" + working.substr(5, marker == std::string::npos ? std::string::npos : marker - 5);
  Check(expectedUrl == url);
  if (marker == std::string::npos || length - marker - 10 < 5) {
    Check(replyTo == nullptr);
  } else {
    Check(replyTo != nullptr && working.substr(marker + 10) == replyTo);
    Check(replyTo >= url && replyTo + std::strlen(replyTo) < url + length + 5);
  }
  std::free(url);
  return 0;
}
