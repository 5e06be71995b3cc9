#include "web/http_client.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include "app/app.h"
#include "log/log.h"
#include "platform/errors.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "script/run_state.h"
#include "web/allow_list.h"

namespace {

const char* VerbText(HttpVerb verb) { return verb == HttpVerb::Post ? "POST" : "GET"; }

[[noreturn]] void ThrowLastError() { throw InternetError{plat::LastErrorCode()}; }

void SendRequest(plat::HttpHandle* request, const void* data, uint32_t length) {
  if (!plat::SendHttpRequest(request, data, length)) ThrowLastError();
}

// The answer's status into status; a failed query leaves what it held.
void QueryStatusCode(plat::HttpHandle* request, int* status) {
  char text[80];
  if (plat::HttpQueryStatusCode(request, text, sizeof text)) *status = std::atoi(text);
}

bool IsRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Redirects are followed here rather than inside the platform's HTTP layer,
// so that every hop's URL passes the allow-list: a server of ours must not be
// able to send the program anywhere else. True with the next URL in next when
// the answer is a redirect to follow; a redirect without a Location is an
// ordinary answer. The next URL is not tested here: httpOpenServer tests it
// like any other, with the usual refusal lines and status.
bool NextHop(plat::HttpHandle* request, int status, const std::string& current, int hops,
             std::string* next) {
  if (!IsRedirect(status)) return false;
  char location[kUrlPartSize];
  if (!plat::HttpQueryLocation(request, location, sizeof location)) return false;
  if (hops >= kMaxRedirectHops) throw InternetError{plat::kHttpErrorRedirectFailed};
  char combined[kUrlPartSize];
  *next = plat::CombineUrl(current.c_str(), location, combined, sizeof combined) ? combined : location;
  // Never from an encrypted exchange down to a plain one (WinINet's default).
  if (plat::StartsWithNoCase(current, "https:") && plat::StartsWithNoCase(*next, "http:")) {
    throw InternetError{plat::kInternetErrorHttpsToHttpOnRedirect};
  }
  LogWrite("\tRedirected (%d) to [%s]\n", status, next->c_str());
  return true;
}

std::string TrimBlanks(const std::string& text) {
  size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t");
  return text.substr(start, end - start + 1);
}

// The comma-separated members of a header value, blanks trimmed.
std::vector<std::string> Members(const std::string& value) {
  std::vector<std::string> members;
  size_t at = 0;
  for (;;) {
    size_t comma = value.find(',', at);
    members.push_back(TrimBlanks(value.substr(at, comma == std::string::npos ? std::string::npos : comma - at)));
    if (comma == std::string::npos) return members;
    at = comma + 1;
  }
}

}  // namespace

bool FramingIsSound(const std::string& rawHeaders) {
  std::string length;  // the one length every Content-Length must agree on, leading zeros dropped
  size_t at = rawHeaders.find('\n');  // the status line is not a header
  bool continuesFraming = false;       // a folded line now would be part of a framing header
  bool coded = false;                  // a transfer coding other than identity
  while (at != std::string::npos && at < rawHeaders.size()) {
    size_t end = rawHeaders.find('\n', at + 1);
    std::string line = rawHeaders.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    at = end;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // A line that opens with a blank continues the header before it (the
    // old folding): "Content-Length: 5" and " 7" is one length, "5 7", to
    // a reader that joins them and the length 5 to one that doesn't. Careful
    // readers take a bare CR for a blank, others for a byte of the text: in
    // a framing header it is refused, and it can start a fold.
    bool hasBareCr = line.find('\r') != std::string::npos;
    std::replace(line.begin(), line.end(), '\r', ' ');
    bool folded = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    if (folded && continuesFraming) return false;
    size_t colon = line.find(':');
    if (colon == std::string::npos) {
      if (!folded) continuesFraming = false;
      continue;
    }
    std::string written = line.substr(0, colon);
    std::string name = TrimBlanks(written);
    std::string value = line.substr(colon + 1);
    bool framing = plat::EqualsNoCase(name, "Content-Length") || plat::EqualsNoCase(name, "Content-Encoding") ||
                   plat::EqualsNoCase(name, "Transfer-Encoding");
    continuesFraming = framing;
    if (framing && hasBareCr) return false;
    // "Content-Length : 5" or a folded " Content-Length: 5" is one header to
    // one reader and none to another.
    if (framing && written != name) return false;
    if (plat::EqualsNoCase(name, "Content-Length")) {
      // Two lengths that differ let either end of a cut pass for the whole;
      // "100abc" or "+100" is read as a number by some and refused by others.
      for (const std::string& member : Members(value)) {
        if (member.empty() || member.find_first_not_of("0123456789") != std::string::npos) return false;
        std::string number = member.substr(std::min(member.find_first_not_of('0'), member.size() - 1));
        if (length.empty()) length = number;
        if (number != length) return false;
      }
    } else if (plat::EqualsNoCase(name, "Transfer-Encoding")) {
      // Chunks frame the body by themselves: beside a length, one reader
      // takes the chunks and another the length (and ours reads only the
      // last of several Transfer-Encoding headers).
      for (const std::string& member : Members(value)) {
        if (!member.empty() && !plat::EqualsNoCase(member, "identity")) coded = true;
      }
    } else if (plat::EqualsNoCase(name, "Content-Encoding")) {
      // We ask for no coding and decode none: a coded body would be stored,
      // and uploaded to a robot, as its coded bytes.
      for (const std::string& member : Members(value)) {
        if (!member.empty() && !plat::EqualsNoCase(member, "identity")) return false;
      }
    }
  }
  return !(coded && !length.empty());
}

void CloseHttpHandles(plat::HttpHandle* session, plat::HttpHandle* connection,
                      plat::HttpHandle* request) {
  if (request) plat::HttpCloseHandle(request);
  if (connection) plat::HttpCloseHandle(connection);
  if (session) plat::HttpCloseHandle(session);
}

int httpOpenServer(const char* url, HttpVerb verb, plat::HttpHandle** session,
                   plat::HttpHandle** connection, plat::HttpHandle** request) {
  int status = httpTestDomain(url);
  if (status != 200) {
    LogWrite("ERROR: httpOpenServer - Invalid domain. Error=%d\n", status);
    return status;
  }
  UrlService service = UrlService::Other;
  char host[kUrlPartSize];
  char object[kUrlPartSize];
  uint16_t port = 0;
  ParseUrl(url, &service, host, object, &port);
  bool secure = service == UrlService::Https;

  *session = plat::HttpOpenSession(AppTitle);
  if (!*session) ThrowLastError();
  plat::HttpSetOption(*session, plat::HttpOption::ConnectTimeout, plat::kHttpConnectTimeoutMs);
  plat::HttpSetOption(*session, plat::HttpOption::ConnectRetries, plat::kHttpConnectRetries);
  plat::HttpSetOption(*session, plat::HttpOption::SendTimeout, plat::HttpSendReceiveTimeout());
  plat::HttpSetOption(*session, plat::HttpOption::ReceiveTimeout, plat::HttpSendReceiveTimeout());

  *connection = plat::HttpConnect(*session, host, port, secure);
  if (!*connection) ThrowLastError();

  *request = plat::OpenHttpRequest(*connection, VerbText(verb), object, secure);
  if (!*request) {
    LogWrite("ERROR: httpOpenServer - Open Server failed returning HTTP 404.\n");
    return 404;
  }
  return 200;
}

int httpGetBody(plat::HttpHandle* request, char** body, int32_t* length) {
  std::string rawHeaders;
  if (plat::HttpQueryRawHeaders(request, &rawHeaders) && !FramingIsSound(rawHeaders)) {
    throw InternetError{plat::kHttpErrorInvalidServerResponse};
  }
  uint32_t contentLength = 0;
  if (!plat::HttpQueryContentLength(request, &contentLength)) {
    LogWrite("ERROR: httpGetBody - Get body failed. Content-Length header was not returned.\n");
    return 411;
  }
  if (contentLength > kMaxHttpBodySize) {
    LogWrite("ERROR: httpGetBody - Get body failed. Entity too large.\n");
    return 413;
  }
  if (contentLength == 0) return 411;

  char* buffer = static_cast<char*>(plat::Alloc(static_cast<size_t>(contentLength) + 1));
  *body = buffer;
  if (!buffer) {
    LogWrite("ERROR: httpGetBody - Get body failed. Out of memory.\n");
    return 500;
  }
  std::memset(buffer, 0, static_cast<size_t>(contentLength) + 1);

  // Read until the announced length is there. A body that ends early is a
  // failed read, not a shorter file: a cut firmware image must never pass
  // for a good one. The caller keeps the buffer, zeroed again.
  uint32_t total = 0;
  while (total < contentLength) {
    uint32_t got = 0;
    bool ok = plat::HttpReadData(request, buffer + total, contentLength - total, &got);
    int32_t code = ok ? plat::kInternetErrorConnectionAborted : plat::LastErrorCode();
    if (!ok || got == 0) {
      std::memset(buffer, 0, static_cast<size_t>(contentLength) + 1);
      throw InternetError{code};
    }
    total += got;
  }
  *length = static_cast<int32_t>(contentLength);
  return 200;
}

namespace {
// The Internet error code that ended the last httpGet or httpPost, 0 when
// none did.
int32_t LastExchangeError = 0;
}  // namespace

int32_t httpLastInternetError() { return LastExchangeError; }

int httpGet(const char* url, char** body, int32_t* length) {
  LastExchangeError = 0;
  *body = nullptr;
  *length = 0;
  plat::HttpHandle* session = nullptr;
  plat::HttpHandle* connection = nullptr;
  plat::HttpHandle* request = nullptr;
  try {
    std::string current = url ? url : "";
    const char* target = url;
    int status = 200;
    for (int hops = 0;; ++hops) {
      status = httpOpenServer(target, HttpVerb::Get, &session, &connection, &request);
      if (status != 200) {
        LogWrite("ERROR: httpGet - httpOpenServer failed.\n");
        CloseHttpHandles(session, connection, request);
        return status;
      }
      SendRequest(request, nullptr, 0);
      QueryStatusCode(request, &status);
      std::string next;
      if (!NextHop(request, status, current, hops, &next)) break;
      CloseHttpHandles(session, connection, request);
      session = connection = request = nullptr;
      current = next;
      target = current.c_str();
    }
    if (status != 200) {
      LogWrite("ERROR: httpGet - QueryInfoStatusCode returned non-OK.\n");
    } else {
      status = httpGetBody(request, body, length);
      plat::HttpCloseHandle(request);
      request = nullptr;
    }
    CloseHttpHandles(session, connection, request);
    return status;
  } catch (const InternetError& error) {
    CloseHttpHandles(session, connection, request);
    LogWrite("ERROR: httpGet - Exception thrown, returing HTTP_STATUS_SERVER_ERROR\n");
    LogWrite("\tException m_dwError = %d\n", error.m_dwError);
    LastExchangeError = error.m_dwError;
    return 500;
  }
}

int httpPost(const char* contentType, const void* data, uint32_t dataLength, char** body,
             int32_t* length) {
  LastExchangeError = 0;
  *body = nullptr;
  *length = 0;
  plat::HttpHandle* session = nullptr;
  plat::HttpHandle* connection = nullptr;
  plat::HttpHandle* request = nullptr;
  try {
    std::string current = ReplyUrl;
    HttpVerb verb = HttpVerb::Post;
    int status = 200;
    for (int hops = 0;; ++hops) {
      status = httpOpenServer(current.c_str(), verb, &session, &connection, &request);
      if (status != 200) {
        LogWrite("ERROR: httpPost - Http Open Server failed. Error = %d\n", status);
        CloseHttpHandles(session, connection, request);
        return status;
      }
      if (verb == HttpVerb::Post) {
        std::string header = std::string("Content-Type:") + (contentType ? contentType : "");
        plat::HttpAddRequestHeader(request, header.c_str(), static_cast<uint32_t>(header.size()));
        SendRequest(request, data, dataLength);
      } else {
        SendRequest(request, nullptr, 0);
      }
      QueryStatusCode(request, &status);
      LogWrite("httpPost - SendRequest returned status code = %d\n", status);
      std::string next;
      if (!NextHop(request, status, current, hops, &next)) break;
      // As a browser does: 307 and 308 repeat the POST, the others fetch the
      // new place with a GET.
      if (status != 307 && status != 308) verb = HttpVerb::Get;
      CloseHttpHandles(session, connection, request);
      session = connection = request = nullptr;
      current = next;
    }
    if (status != 200) {
      LogWrite("ERROR: httpPost - HTTP Send failed. Error = %d\n", status);
    } else {
      status = httpGetBody(request, body, length);
      plat::HttpCloseHandle(request);
      request = nullptr;
    }
    CloseHttpHandles(session, connection, request);
    return status;
  } catch (const InternetError& error) {
    CloseHttpHandles(session, connection, request);
    LogWrite("ERROR: httpPost - Exception thrown, returing HTTP_STATUS_SERVER_ERROR\n");
    LogWrite("\tException m_dwError = %d\n", error.m_dwError);
    LastExchangeError = error.m_dwError;
    return 500;
  }
}
