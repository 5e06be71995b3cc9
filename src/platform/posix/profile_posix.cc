// An INI reader that answers as the Windows private-profile routines do, so
// that one ConfigSettings.ini reads the same on every build. The rules are
// listed in profile.h; the file is read afresh on every call, as Windows
// does when the file may have changed.
#include <algorithm>
#include <cstring>
#include <string>

#include "platform/files.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace plat {
namespace {

// Blanks around names and values. 0x1A is the old DOS end-of-file mark,
// which the Windows reader drops as well.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\x1a';
}

std::string Trimmed(const char* begin, const char* end) {
  while (begin < end && IsBlank(*begin)) ++begin;
  while (end > begin && IsBlank(end[-1])) --end;
  return std::string(begin, end);
}

bool ReadWholeText(const char* path, std::string* text) {
  ReadFileHandle* file = OpenForRead(path);
  if (!file) return false;
  std::string data;
  char chunk[4096];
  for (;;) {
    uint32_t got = 0;
    bool ok = ReadFromFile(file, chunk, sizeof chunk, &got);
    data.append(chunk, got);
    if (!ok) {
      CloseFile(file);
      return false;
    }
    if (got == 0) break;
  }
  CloseFile(file);
  text->swap(data);
  return true;
}

// Walks the file's lines. True when the key was found with a value ('=').
bool FindValue(const std::string& text, const std::string& section, const std::string& key,
               std::string* value) {
  const char* at = text.data();
  const char* end = at + text.size();
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) at += 3;

  // Keys above the first header belong to a section without a name.
  bool inSection = section.empty();
  while (at < end) {
    const char* lineEnd = at;
    while (lineEnd < end && *lineEnd != '\n' && *lineEnd != '\r') ++lineEnd;
    const char* lineStart = at;
    at = lineEnd < end ? lineEnd + 1 : end;

    while (lineStart < lineEnd && IsBlank(*lineStart)) ++lineStart;
    while (lineEnd > lineStart && IsBlank(lineEnd[-1])) --lineEnd;
    if (lineStart == lineEnd) continue;

    if (*lineStart == '[') {
      const char* close = lineEnd;
      while (close > lineStart && *(close - 1) != ']') --close;
      if (close == lineStart) continue;  // no ']': not a header, and not a key either
      // Only the first section of the name is searched: leaving it ends the search.
      if (inSection) return false;
      inSection = EqualsNoCase(Trimmed(lineStart + 1, close - 1), section);
      continue;
    }
    if (!inSection) continue;

    const char* equals = static_cast<const char*>(std::memchr(lineStart, '=', static_cast<size_t>(lineEnd - lineStart)));
    std::string name = Trimmed(lineStart, equals ? equals : lineEnd);
    if (!EqualsNoCase(name, key)) continue;
    // The first key of the name decides, even when it has no value.
    if (!equals) return false;
    *value = Trimmed(equals + 1, lineEnd);
    return true;
  }
  return false;
}

// Copies a value out the way the Windows reader does: a quoted value loses
// its quotes, and the text is cut to the buffer and terminated.
uint32_t CopyValue(const char* value, char* out, uint32_t outSize) {
  if (!out || outSize == 0) return 0;
  size_t length = std::strlen(value);
  bool quoted = length >= 2 && (value[0] == '"' || value[0] == '\'') && value[length - 1] == value[0];
  if (quoted) {
    ++value;
    --length;
  }
  size_t copied = std::min(length, static_cast<size_t>(outSize - 1));
  std::memcpy(out, value, copied);
  // The closing quote goes only when the buffer could hold the whole value;
  // a cut value keeps what fitted (Windows drops its last character as well).
  if (quoted && outSize >= length && copied > 0) --copied;
  out[copied] = '\0';
  return static_cast<uint32_t>(copied);
}

}  // namespace

uint32_t ReadProfileString(const char* path, const char* section, const char* key,
                           const char* defaultValue, char* out, uint32_t outSize) {
  std::string fallback = defaultValue ? defaultValue : "";
  size_t keep = fallback.size();
  while (keep > 1 && fallback[keep - 1] == ' ') --keep;
  fallback.resize(keep);

  std::string text;
  std::string value;
  const char* sectionEnd = section + std::strlen(section);
  const char* keyEnd = key + std::strlen(key);
  if (ReadWholeText(path, &text) &&
      FindValue(text, Trimmed(section, sectionEnd), Trimmed(key, keyEnd), &value)) {
    return CopyValue(value.c_str(), out, outSize);
  }
  return CopyValue(fallback.c_str(), out, outSize);
}

int32_t ReadProfileInt(const char* path, const char* section, const char* key,
                       int32_t defaultValue) {
  // Windows reads the number through a 30-character text.
  char text[30];
  if (ReadProfileString(path, section, key, "", text, sizeof text) == 0) return defaultValue;

  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != '\0' && *p <= ' ') ++p;
  bool negative = false;
  if (*p == '+') {
    ++p;
  } else if (*p == '-') {
    negative = true;
    ++p;
  }
  uint32_t base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'o' || p[1] == 'b')) {
    base = p[1] == 'x' ? 16 : p[1] == 'o' ? 8 : 2;
    p += 2;
  }
  uint32_t total = 0;
  for (; *p != '\0'; ++p) {
    uint32_t digit;
    if (*p >= '0' && *p <= '9') {
      digit = *p - '0';
    } else if (*p >= 'a' && *p <= 'z') {
      digit = *p - 'a' + 10u;
    } else if (*p >= 'A' && *p <= 'Z') {
      digit = *p - 'A' + 10u;
    } else {
      break;
    }
    if (digit >= base) break;
    total = total * base + digit;  // wraps, as on Windows
  }
  return static_cast<int32_t>(negative ? 0u - total : total);
}

}  // namespace plat
