// The head of an HTTP answer as the Linux backend collects it from curl's
// header callback: status line and header lines, read without a socket so
// that it can be exercised on its own.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plat {

struct HttpAnswerHead {
  int status = 0;                    // 0 when the status line was not understood
  std::string statusLine;            // the final answer's, without its line end
  std::vector<std::string> headers;  // the final answer's header lines, without line ends
  bool done = false;                 // the head of a final (not 1xx) answer has ended
};

// One line as curl hands it over, line end included. A status line starts
// a new answer: what an interim (1xx) answer said is forgotten.
void AddAnswerHeaderLine(HttpAnswerHead* head, const char* data, size_t size);

// The value of the last header of that name (letter case ignored), blanks
// around it trimmed; null when there is none.
const std::string* FindAnswerHeader(const HttpAnswerHead& head, const char* name);
std::string AnswerHeaderValue(const std::string& line);

// The Content-Length as WinINet's number query gives it: its leading digits,
// held at 0xFFFFFFFF when larger. False when there is none, or the body's
// length is the chunks' (a transfer coding other than identity).
bool AnswerContentLength(const HttpAnswerHead& head, uint32_t* length);

// The status line and the header lines, each ended by CR LF, and an empty
// line: what WinINet's raw-headers query gives.
std::string AnswerRawHeaders(const HttpAnswerHead& head);

}  // namespace plat
