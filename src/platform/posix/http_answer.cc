#include "platform/posix/http_answer.h"

#include <cstring>

#include "platform/text.h"

namespace plat {

namespace {

// "HTTP/1.1 200 OK": the three digits after the first blank, or 0.
int StatusOf(const std::string& line) {
  size_t blank = line.find(' ');
  if (blank == std::string::npos || line.size() < blank + 4) return 0;
  int status = 0;
  for (size_t i = blank + 1; i < blank + 4; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
    status = status * 10 + (line[i] - '0');
  }
  if (line.size() > blank + 4 && line[blank + 4] != ' ') return 0;
  return status;
}

}  // namespace

void AddAnswerHeaderLine(HttpAnswerHead* head, const char* data, size_t size) {
  std::string line(data, size);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.compare(0, 5, "HTTP/") == 0) {
    head->headers.clear();
    head->statusLine = line;
    head->status = StatusOf(line);
    head->done = false;
  } else if (line.empty()) {
    if (head->status >= 200) head->done = true;
  } else {
    head->headers.push_back(line);
  }
}

const std::string* FindAnswerHeader(const HttpAnswerHead& head, const char* name) {
  size_t n = std::strlen(name);
  const std::string* found = nullptr;
  for (const std::string& line : head.headers) {
    if (line.size() > n && line[n] == ':' && EqualsNoCase(line.substr(0, n), name)) found = &line;
  }
  return found;
}

std::string AnswerHeaderValue(const std::string& line) {
  size_t colon = line.find(':');
  if (colon == std::string::npos) return std::string();
  size_t start = line.find_first_not_of(" \t", colon + 1);
  if (start == std::string::npos) return std::string();
  size_t end = line.find_last_not_of(" \t");
  return line.substr(start, end - start + 1);
}

bool AnswerContentLength(const HttpAnswerHead& head, uint32_t* length) {
  const std::string* line = FindAnswerHeader(head, "Content-Length");
  const std::string* coding = FindAnswerHeader(head, "Transfer-Encoding");
  // A chunked body's length is the chunks', whatever else the answer says.
  if (!line || (coding && AnswerHeaderValue(*coding) != "identity")) return false;
  uint64_t number = 0;
  for (char c : AnswerHeaderValue(*line)) {
    if (c < '0' || c > '9') break;
    number = number * 10 + static_cast<uint64_t>(c - '0');
    if (number > 0xFFFFFFFFull) {  // beyond 32 bits: too large, never wrapped to a small one
      number = 0xFFFFFFFFull;
      break;
    }
  }
  *length = static_cast<uint32_t>(number);
  return true;
}

std::string AnswerRawHeaders(const HttpAnswerHead& head) {
  std::string raw = head.statusLine + "\r\n";
  for (const std::string& line : head.headers) raw += line + "\r\n";
  return raw + "\r\n";
}

}  // namespace plat
