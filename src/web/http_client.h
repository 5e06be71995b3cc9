// The program's web traffic: one whole, self-contained exchange per call
// (session, connection and request opened and closed again), answered with an
// HTTP status: the server's own, or 400, 403, 404, 411, 413 or 500 for what
// went wrong on our side.
#pragma once
#include <cstdint>
#include <string>

#include "platform/http.h"

enum class HttpVerb { Post, Get };

// Ends an exchange when a step of the platform's HTTP layer fails; caught
// inside httpGet and httpPost, never beyond.
struct InternetError {
  int32_t m_dwError;  // the WinINet error code
};

// Bodies are capped: a Content-Length of exactly this is read, one more is refused.
constexpr uint32_t kMaxHttpBodySize = 20971520;
// Redirect hops followed for one exchange before it fails.
constexpr int kMaxRedirectHops = 5;

// Tests the URL against the allow-list and opens the three handles into the
// caller's places (which start out null). 200: all open; 400/403: refused,
// nothing open; 404: the request didn't open. Throws InternetError when the
// session or the connection can't be opened.
int httpOpenServer(const char* url, HttpVerb verb, plat::HttpHandle** session,
                   plat::HttpHandle** connection, plat::HttpHandle** request);

// Reads the answer's body into fresh zero-terminated storage (plat::Alloc),
// handed to the caller at once. 200; 411 no or zero Content-Length; 413 above
// the cap; 500 no memory. Throws InternetError, before anything is allocated,
// when the framing can't be trusted (FramingIsSound), and when the read fails
// or the body ends before its Content-Length (the buffer, zeroed, stays the
// caller's).
int httpGetBody(plat::HttpHandle* request, char** body, int32_t* length);

// Whether an answer's raw header block (status line, header lines, each
// ended by CR LF) frames its body so that we can be sure of it: every
// Content-Length (as many headers as there are, each a comma list) is a
// plain decimal number and all of them are the same number, no transfer
// coding but identity stands beside a length, no framing header is folded
// or holds a bare CR, and every Content-Encoding is identity. Anything else
// is read as a failure.
bool FramingIsSound(const std::string& rawHeaders);

// A whole GET of url. body/length are set to null/0 first and hold the
// answer on 200; a body present on any other status is the caller's too.
int httpGet(const char* url, char** body, int32_t* length);

// A whole POST of data to ReplyUrl with the given Content-Type value.
int httpPost(const char* contentType, const void* data, uint32_t dataLength, char** body,
             int32_t* length);

// The Internet error code (12xxx) that ended the last httpGet or httpPost, or
// 0 when it ended with a status of its own (the server's, or the allow-list's).
int32_t httpLastInternetError();

// Closes request, connection and session, in that order, skipping null ones.
void CloseHttpHandles(plat::HttpHandle* session, plat::HttpHandle* connection,
                      plat::HttpHandle* request);
