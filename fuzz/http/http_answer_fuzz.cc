// Feeds arbitrary bytes to the Linux backend's reading of an answer's head,
// line by line as curl hands it over, and to what the client makes of it:
// the framing judgement, the Content-Length, and a redirect's Location
// resolved against the URL that answered and judged by the allow-list.
// The first line of the input is the URL that answered; an empty one means
// a fixed URL of ours.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/http.h"
#include "platform/posix/http_answer.h"
#include "platform/text.h"
#include "web/allow_list.h"
#include "web/http_client.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// The numeric value of a run of digits, held at 0xFFFFFFFF as the backend holds it.
uint64_t Capped(const std::string& digits) {
  uint64_t number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') break;
    number = number * 10 + static_cast<uint64_t>(c - '0');
    if (number > 0xFFFFFFFFull) return 0xFFFFFFFFull;
  }
  return number;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Refused hosts are announced on standard output; not wanted here.
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t firstEnd = input.find('\n');
  std::string base = input.substr(0, firstEnd);
  base.resize(std::strlen(base.c_str()));
  if (base.empty()) base = "http://updates.kelvo.com/robot/s.txt";
  std::string answer = firstEnd == std::string::npos ? std::string() : input.substr(firstEnd + 1);

  plat::HttpAnswerHead head;
  size_t at = 0;
  while (at < answer.size()) {
    size_t end = answer.find('\n', at);
    size_t n = (end == std::string::npos ? answer.size() : end + 1) - at;
    plat::AddAnswerHeaderLine(&head, answer.data() + at, n);
    at += n;
  }
  Check(head.status >= 0 && head.status <= 999);
  Check(!head.done || head.status >= 200);
  for (const std::string& line : head.headers) {
    Check(!line.empty() && line.back() != '\n');
  }

  // The framing judgement agrees with the length the backend hands out.
  std::string raw = plat::AnswerRawHeaders(head);
  bool sound = FramingIsSound(raw);
  uint32_t length = 0;
  bool hasLength = plat::AnswerContentLength(head, &length);
  if (hasLength) {
    const std::string* line = plat::FindAnswerHeader(head, "Content-Length");
    Check(line != nullptr);
    std::string value = plat::AnswerHeaderValue(*line);
    Check(length == Capped(value));
    if (sound) {
      // A sound answer's length is a plain number: every digit of it was read.
      Check(!value.empty() && std::isdigit(static_cast<unsigned char>(value[0])));
    }
  }
  if (sound) {
    for (const std::string& line : head.headers) {
      std::string lower;
      for (char c : line) lower.push_back(plat::AsciiLower(c));
      if (lower.compare(0, 17, "content-encoding:") == 0) {
        std::string value = plat::AnswerHeaderValue(line);
        Check(value.empty() || plat::EqualsNoCase(value, "identity") || value.find(',') != std::string::npos);
      }
    }
  }

  // A redirect's next hop: resolved into a buffer it fits, then judged.
  const std::string* location = plat::FindAnswerHeader(head, "Location");
  if (location) {
    std::string value = plat::AnswerHeaderValue(*location);
    char next[kUrlPartSize];
    std::memset(next, 'x', sizeof next);
    if (plat::CombineUrl(base.c_str(), value.c_str(), next, sizeof next)) {
      Check(std::memchr(next, '\0', sizeof next) != nullptr);
      int status = httpTestDomain(next);
      Check(status == 200 || status == 400 || status == 403);
      // Resolving never makes a refused target allowed: a Location that
      // names a scheme is judged as it stands.
      size_t colon = value.find(':');
      bool absolute = colon != std::string::npos && colon > 0 &&
                      std::isalpha(static_cast<unsigned char>(value[0]));
      for (size_t i = 0; absolute && i < colon; ++i) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        absolute = std::isalnum(c) || c == '+' || c == '-' || c == '.';
      }
      if (status == 200 && absolute) Check(httpTestDomain(value.c_str()) == 200);
    }
  }
  return 0;
}
