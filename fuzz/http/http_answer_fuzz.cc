// Feeds arbitrary bytes to the Linux backend's reading of an answer's head,
// line by line as curl hands it over, and to what the client makes of it:
// the framing judgement, the Content-Length, and a redirect's Location
// resolved against the URL that answered and judged by the allow-list.
// The first line of the input is the URL that answered; an empty one means
// a fixed URL of ours.
//
// The rule on framing: the client takes a body only when its framing is
// certain, and then takes the length the framing says. A reader of the
// answer written here from the HTTP/1.1 message rules (not the program's
// code) decides what is certain: the final answer's fields, obsolete line
// folding joined to the field it continues, no Transfer-Encoding beside a
// Content-Length, every Content-Length member the same plain number, no
// blank between a framing field's name and its colon. Whenever the client
// would read a body (a final 200 with a sound head and a length it reads),
// this reader must find the same length, certain.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/http.h"
#include "platform/posix/http_answer.h"
#include "platform/text.h"
#include "web/allow_list.h"
#include "web/http_client.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "http_answer_fuzz: %s\n", what);
    std::abort();
  }
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


// ---- The independent reader.

std::string LowerText(const std::string& text) {
  std::string lower;
  for (char c : text) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return lower;
}

std::string Trimmed(const std::string& text) {
  size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return std::string();
  return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

struct Framing {
  bool certain = false;
  uint64_t length = 0;
};

// The framing of the final answer in the head text (lines ended by LF, a CR
// before it dropped). Interim (1xx) answers come before it and frame nothing.
Framing ReadFraming(const std::string& headText) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < headText.size();) {
    size_t end = headText.find('\n', at);
    std::string line = headText.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Any other CR is a bare one, which a recipient reads as a blank.
    for (char& c : line) c = c == '\r' ? ' ' : c;
    lines.push_back(line);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  // The last status line starts the final answer's fields.
  size_t first = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].compare(0, 5, "HTTP/") == 0) first = i + 1;
  }
  Framing framing;
  if (first > lines.size()) return framing;
  // Fields, with obsolete folding joined to the field it continues.
  std::vector<std::pair<std::string, std::string>> fields;  // written name, value
  bool afterField = false;  // the line before was a field (or a fold of one)
  for (size_t i = first; i < lines.size() && !lines[i].empty(); ++i) {
    const std::string& line = lines[i];
    if (line[0] == ' ' || line[0] == '\t') {
      if (afterField) fields.back().second += " " + Trimmed(line);
      continue;
    }
    size_t colon = line.find(':');
    afterField = colon != std::string::npos;
    if (afterField) fields.emplace_back(line.substr(0, colon), line.substr(colon + 1));
  }
  bool coded = false;
  std::string length;
  bool lengthSeen = false;
  for (const auto& [written, value] : fields) {
    std::string name = LowerText(Trimmed(written));
    bool framingField = name == "content-length" || name == "transfer-encoding";
    if (framingField && LowerText(written) != name) return framing;  // a blank around the name
    if (name == "transfer-encoding") {
      for (size_t at = 0; at <= value.size();) {
        size_t comma = std::min(value.find(',', at), value.size());
        std::string coding = LowerText(Trimmed(value.substr(at, comma - at)));
        if (!coding.empty() && coding != "identity") coded = true;
        at = comma + 1;
      }
    } else if (name == "content-length") {
      lengthSeen = true;
      for (size_t at = 0; at <= value.size();) {
        size_t comma = std::min(value.find(',', at), value.size());
        std::string member = Trimmed(value.substr(at, comma - at));
        if (member.empty() || member.find_first_not_of("0123456789") != std::string::npos) return framing;
        member.erase(0, std::min(member.find_first_not_of('0'), member.size() - 1));
        if (!length.empty() && member != length) return framing;
        length = member;
        at = comma + 1;
      }
    }
  }
  // A coded transfer frames by its chunks; beside a length, nobody can tell
  // which of the two the sender meant.
  if (coded || !lengthSeen) return framing;
  if (length.size() > 19) return framing;
  framing.certain = true;
  framing.length = std::strtoull(length.c_str(), nullptr, 10);
  return framing;
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
    if (head.done) break;  // curl hands the rest over as the body
  }
  const std::string headText = answer.substr(0, at);
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

  // The client reads a body from a final 200 whose head it finds sound and
  // whose length it can read, not zero and not above the cap.
  bool reads = head.done && head.status == 200 && sound && hasLength && length > 0 && length <= kMaxHttpBodySize;
  if (reads) {
    Framing framing = ReadFraming(headText);
    Check(framing.certain, "a body is read although its framing is not certain");
    Check(framing.length == length, "a body is read with another length than its framing says");
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
