// Feeds arbitrary text to the command line handling as a web page (through
// the browser and a launcher) or a user would: the end quotes stripped as at
// start-up, the road chosen, the request read, and on the URL road the URL
// cut in a buffer of exactly the size RunMain gives it.
//
// The road is checked against the rule written out here on its own, in
// another way than the program's: a launcher can only have escaped a colon,
// so undoing that escaping, however often it was done, must not leave the
// scheme name with its colon anywhere in a line that takes the local road;
// and only a line that begins with the switch, as a person types it, may.
// Each input is also read a second time with a few bytes standing for the
// words the rule turns on, which random mutation alone rarely spells out.
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

std::string Lower(const std::string& text) {
  std::string lower;
  for (char c : text) lower.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c);
  return lower;
}

// The first place where marker stands, letter case ignored, or npos.
size_t FindMarker(const std::string& text, const char* marker) {
  return Lower(text).find(Lower(marker));
}

// Every escape of the given text replaced by its character, from the left.
bool ReplaceAll(std::string* text, const std::string& escape, char character) {
  bool changed = false;
  std::string out;
  for (size_t i = 0; i < text->size();) {
    if (text->compare(i, escape.size(), escape) == 0) {
      out.push_back(character);
      i += escape.size();
      changed = true;
    } else {
      out.push_back((*text)[i++]);
    }
  }
  *text = out;
  return changed;
}

// The scheme name in any form a launcher hands on: its colon plain or
// percent-encoded any number of times ("%25" being an escaped "%").
bool HoldsTheSchemeName(const std::string& line) {
  std::string text = Lower(line);
  bool changed = true;
  while (changed) {
    changed = ReplaceAll(&text, "%25", '%');
    changed = ReplaceAll(&text, "%3a", ':') || changed;
  }
  return text.find("kelvo:") != std::string::npos;
}

bool PersonsLocalLine(const std::string& line) {
  return Lower(line).compare(0, 9, "/noserver") == 0 && !HoldsTheSchemeName(line);
}

bool IsOneOf(const std::string& line, std::initializer_list<const char*> forms) {
  for (const char* form : forms) {
    if (line == form) return true;
  }
  return false;
}

// The words the rule turns on, each one byte of the input in the second
// reading, so that mutations combine them as often as single characters.
const char* const kWords[] = {"kelvo", "KeLvO", ":", "%3a", "%25", "/NOSERVER", "--help", "--version"};

// The input once more with bytes 1 to 8 standing for kWords; empty when it
// holds none of them.
std::string WithWords(const std::string& text) {
  std::string out;
  bool any = false;
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 1 && byte <= sizeof kWords / sizeof kWords[0]) {
      out += kWords[byte - 1];
      any = true;
    } else {
      out.push_back(c);
    }
  }
  return any ? out : std::string();
}

void CheckCommandLine(std::string working) {
  if (!working.empty() && working.front() == '"') working.erase(0, 1);
  if (!working.empty() && working.back() == '"') working.pop_back();

  bool local = TakesLocalRoad(working);
  Check(local == PersonsLocalLine(working));
  if (local) {
    std::string path = LocalScriptPath(working);
    Check(working.size() > 9 || path.empty());
    if (!path.empty()) {
      Check(!IsTrimSpace(path.front()) && !IsTrimSpace(path.back()));
      Check(working.find(path, 9) != std::string::npos);
    }
    return;
  }

  // Help and the version are answered and end nothing: they never reach the
  // URL road, the only one that ends other copies; nothing else is taken
  // for them.
  CommandRequest request = ReadRequest(working.c_str());
  Check((request == CommandRequest::Help) == IsOneOf(working, {"--help", "-h", "/?", "help"}));
  Check((request == CommandRequest::Version) == (working == "--version"));
  Check((request == CommandRequest::None) == working.empty());
  if (request != CommandRequest::Url) return;
  if (!plat::StartsWithNoCase(working, "kelvo://")) return;

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
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text.resize(std::strlen(text.c_str()));  // the command line is zero-terminated text
  CheckCommandLine(text);
  std::string worded = WithWords(text);
  if (!worded.empty()) CheckCommandLine(worded);
  return 0;
}
