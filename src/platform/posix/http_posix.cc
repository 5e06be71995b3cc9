// The HTTP exchange on libcurl. One easy handle (driven through its own multi
// handle, so that the answer's headers can be looked at before the body is
// read) per request; nothing is kept or reused between exchanges.
//
// Proxy: curl's defaults, i.e. http_proxy, https_proxy and no_proxy from the
// environment, the Linux counterpart of the system's proxy settings.
// Certificates: verified against the system store, peer and host name, always.
// Redirects: never followed here; the client judges every hop itself.
//
// Error codes: curl's are translated into WinINet's, so that logs and reports
// read the same on both builds. The one table:
//
//   curl result                                   WinINet code
//   CURLE_OPERATION_TIMEDOUT (28), idle time-out,
//   exchange limit (kHttpExchangeLimitMs)         12002 ERROR_INTERNET_TIMEOUT
//   CURLE_URL_MALFORMAT (3)                       12005 ERROR_INTERNET_INVALID_URL
//   CURLE_COULDNT_RESOLVE_HOST (6), _PROXY (5)    12007 ERROR_INTERNET_NAME_NOT_RESOLVED
//   CURLE_ABORTED_BY_CALLBACK (42)                12017 ERROR_INTERNET_OPERATION_CANCELLED
//   CURLE_COULDNT_CONNECT (7), CURLE_PROXY (97)   12029 ERROR_INTERNET_CANNOT_CONNECT
//   CURLE_PARTIAL_FILE (18), CURLE_SEND_ERROR (55)12030 ERROR_INTERNET_CONNECTION_ABORTED
//   CURLE_RECV_ERROR (56)                         12031 ERROR_INTERNET_CONNECTION_RESET
//   CURLE_PEER_FAILED_VERIFICATION (60):
//     certificate expired or not yet valid        12037 ERROR_INTERNET_SEC_CERT_DATE_INVALID
//     host name wrong (curl's message says so)    12038 ERROR_INTERNET_SEC_CERT_CN_INVALID
//     anything else (untrusted, self-signed)      12045 ERROR_INTERNET_INVALID_CA
//   CURLE_GOT_NOTHING (52), WEIRD_SERVER_REPLY (8),
//   BAD_CONTENT_ENCODING (61), UNSUPPORTED_PROTOCOL (1)
//                                                 12152 ERROR_HTTP_INVALID_SERVER_RESPONSE
//   CURLE_SSL_CONNECT_ERROR (35), SSL_CERTPROBLEM (58), SSL_CIPHER (59),
//   SSL_CACERT_BADFILE (77), SSL_CRL_BADFILE (82), SSL_ISSUER_ERROR (83)
//                                                 12157 ERROR_INTERNET_SECURITY_CHANNEL_ERROR
//   CURLE_OUT_OF_MEMORY (27) before the answer's
//     head is complete (a header line too long)   12152 ERROR_HTTP_INVALID_SERVER_RESPONSE
//   CURLE_OUT_OF_MEMORY (27) later                8     ERROR_NOT_ENOUGH_MEMORY
//   anything else                                 12004 ERROR_INTERNET_INTERNAL_ERROR
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/http.h"
#include "platform/posix/http_answer.h"
#include "platform/posix/http_request_url.h"
#include "platform/text.h"

namespace plat {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Body bytes held back while nobody reads; beyond this the transfer pauses.
constexpr size_t kPendingLimit = 256 * 1024;

void EnsureCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}


// A syntactic scheme ("name:") at the start of the text, lower-cased.
bool LeadingScheme(const std::string& text, std::string* scheme) {
  size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  if (!std::isalpha(static_cast<unsigned char>(text[0]))) return false;
  for (size_t i = 0; i < colon; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
  }
  scheme->clear();
  for (size_t i = 0; i < colon; ++i) {
    scheme->push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(text[i]))));
  }
  return true;
}

// Browser-mode escaping of what may not travel raw in a request line.
std::string EscapeUnsafe(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c <= 0x20 || c >= 0x7f) {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

// The host part of "scheme://[user@]host[:port]/..." exactly as written.
bool WrittenHost(const std::string& text, std::string* host) {
  size_t start = text.find("://");
  if (start == std::string::npos) return false;
  start += 3;
  size_t end = text.find_first_of("/?#", start);
  std::string authority = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  size_t portColon = authority[0] == '[' ? authority.find(':', authority.find(']')) : authority.find(':');
  if (portColon != std::string::npos) authority.erase(portColon);
  *host = authority;
  return true;
}

bool CopyPart(const std::string& part, char* out) {
  if (part.size() > kMaxUrlLength) return false;
  std::memcpy(out, part.c_str(), part.size() + 1);
  return true;
}

std::string TakeCurlString(char* s) {
  std::string result = s ? s : "";
  curl_free(s);
  return result;
}

}  // namespace

bool CanonicalizeAndCrackUrl(const char* url, UrlScheme* scheme, char* host, char* object,
                             uint16_t* port) {
  *scheme = UrlScheme::Other;
  if (!url) return false;
  std::string text(url);
  // WinINet drops the blanks at a URL's end: "http://a.example/r   " is
  // http://a.example/r there, and must be the same place here.
  while (!text.empty() && text.back() == ' ') text.pop_back();
  std::string leading;
  bool hasScheme = LeadingScheme(text, &leading);
  bool web = hasScheme && (leading == "http" || leading == "https");
  if (web) {
    // A browser takes a backslash before the query for a slash in web URLs;
    // so do we, or "http://a.example\@b.example/" would name two hosts.
    size_t end = text.find_first_of("?#");
    std::replace(text.begin(), end == std::string::npos ? text.end() : text.begin() + end, '\\', '/');
  }
  EnsureCurl();
  CURLU* u = curl_url();
  if (!u) return false;
  CURLUcode rc = curl_url_set(u, CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME | CURLU_ALLOW_SPACE);
  if (rc != CURLUE_OK) {
    curl_url_cleanup(u);
    if (!hasScheme || web) return false;
    // Another scheme that curl's parser is stricter about than WinINet
    // (file://host/x, mailto:): still a scheme, just not ours.
    host[0] = '\0';
    object[0] = '\0';
    *port = 0;
    return true;
  }
  char* part = nullptr;
  curl_url_get(u, CURLUPART_SCHEME, &part, 0);
  std::string schemeText = TakeCurlString(part);
  if (EqualsNoCase(schemeText, "http")) {
    *scheme = UrlScheme::Http;
  } else if (EqualsNoCase(schemeText, "https")) {
    *scheme = UrlScheme::Https;
  }
  part = nullptr;
  bool hasHost = curl_url_get(u, CURLUPART_HOST, &part, 0) == CURLUE_OK;
  std::string hostText = TakeCurlString(part);
  part = nullptr;
  curl_url_get(u, CURLUPART_PATH, &part, 0);
  std::string objectText = TakeCurlString(part);
  part = nullptr;
  if (curl_url_get(u, CURLUPART_QUERY, &part, 0) == CURLUE_OK) {
    objectText += "?" + TakeCurlString(part);
  } else {
    curl_free(part);
  }
  part = nullptr;
  long portNumber = 0;
  if (curl_url_get(u, CURLUPART_PORT, &part, CURLU_DEFAULT_PORT) == CURLUE_OK && part) {
    portNumber = std::strtol(part, nullptr, 10);
  }
  curl_free(part);
  curl_url_cleanup(u);

  // The host is judged as written, as WinINet leaves it: curl's parser turns
  // 170393871, 0x0a28010f or 10.40.271 into 10.40.1.15 and decodes escapes,
  // which would let a numeric form pass for an entry that Windows refuses.
  std::string written;
  if (hasHost && WrittenHost(text, &written) && !EqualsNoCase(written, hostText)) hostText = written;
  if (*scheme != UrlScheme::Other && (!hasHost || hostText.empty())) {
    *scheme = UrlScheme::Other;
    return false;
  }
  objectText = EscapeUnsafe(objectText);
  if (objectText.empty()) objectText = "/";
  if (!CopyPart(hostText, host) || !CopyPart(objectText, object)) {
    *scheme = UrlScheme::Other;
    return false;
  }
  *port = static_cast<uint16_t>(portNumber);
  return true;
}

bool CombineUrl(const char* base, const char* relative, char* out, size_t outSize) {
  if (!base || !relative || outSize == 0) return false;
  // A target that names its own host keeps it as written, as WinINet's
  // combining does: curl would rebuild it with the host normalised, and
  // http://170393871/ come out as the address entry itself.
  std::string target(relative);
  std::string scheme;
  if (!LeadingScheme(target, &scheme) && target.compare(0, 2, "//") == 0 && LeadingScheme(base, &scheme)) {
    target = scheme + ":" + target;
  }
  if (LeadingScheme(target, &scheme)) {
    if (target.size() + 1 > outSize) return false;
    std::memcpy(out, target.c_str(), target.size() + 1);
    return true;
  }
  EnsureCurl();
  CURLU* u = curl_url();
  if (!u) return false;
  bool ok = curl_url_set(u, CURLUPART_URL, base, CURLU_NON_SUPPORT_SCHEME | CURLU_ALLOW_SPACE) == CURLUE_OK &&
            curl_url_set(u, CURLUPART_URL, relative, CURLU_NON_SUPPORT_SCHEME | CURLU_ALLOW_SPACE) == CURLUE_OK;
  std::string result;
  if (ok) {
    char* text = nullptr;
    ok = curl_url_get(u, CURLUPART_URL, &text, 0) == CURLUE_OK;
    result = TakeCurlString(text);
  }
  curl_url_cleanup(u);
  if (!ok || result.size() + 1 > outSize) return false;
  std::memcpy(out, result.c_str(), result.size() + 1);
  return true;
}

std::string RequestUrl(const std::string& host, uint16_t port, bool secure, const std::string& object) {
  std::string name = host;
  if (name.find(':') != std::string::npos && name[0] != '[') name = "[" + name + "]";
  return std::string(secure ? "https://" : "http://") + name + ":" + std::to_string(port) + object;
}

struct HttpHandle {
  enum class Kind { Session, Connection, Request } kind;

  // Session.
  std::string userAgent;
  uint32_t connectTimeoutMs = 0;
  uint32_t sendTimeoutMs = 0;
  uint32_t receiveTimeoutMs = 0;

  // Connection (and its session's settings, copied).
  HttpHandle* session = nullptr;
  std::string host;
  uint16_t port = 0;
  bool secure = false;

  // Request.
  HttpHandle* connection = nullptr;
  std::string verb;
  std::string object;
  std::vector<std::string> addedHeaders;
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  curl_slist* headerList = nullptr;
  bool sent = false;
  bool done = false;
  CURLcode result = CURLE_OK;
  long verifyResult = 0;
  char errorText[CURL_ERROR_SIZE] = {};
  HttpAnswerHead head;
  // Body delivery: into the reader's buffer when one waits, else pending.
  char* target = nullptr;
  size_t targetSize = 0;
  size_t targetFilled = 0;
  std::string pending;
  size_t pendingOffset = 0;
  bool paused = false;
  curl_off_t lastDown = 0;
  curl_off_t lastUp = 0;
  SteadyClock::time_point lastActivity;
  SteadyClock::time_point started;  // when the request was sent
  bool timedOut = false;            // a read gave up: the exchange is over
};

namespace {

int32_t WinInetCodeFromCurl(CURLcode code, long verifyResult, const char* errorText, bool headDone) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT: return kInternetErrorTimeout;
    case CURLE_URL_MALFORMAT: return kInternetErrorInvalidUrl;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return kInternetErrorNameNotResolved;
    case CURLE_ABORTED_BY_CALLBACK: return 12017;
    case CURLE_COULDNT_CONNECT:
    case CURLE_PROXY: return kInternetErrorCannotConnect;
    case CURLE_PARTIAL_FILE:
    case CURLE_SEND_ERROR: return kInternetErrorConnectionAborted;
    case CURLE_RECV_ERROR: return kInternetErrorConnectionReset;
    case CURLE_PEER_FAILED_VERIFICATION:
      // X509_V_ERR_CERT_NOT_YET_VALID (9), X509_V_ERR_CERT_HAS_EXPIRED (10).
      if (verifyResult == 9 || verifyResult == 10) return kInternetErrorSecCertDateInvalid;
      // curl checks the name itself, before it takes OpenSSL's verdict on
      // the chain, so the verify result says nothing then: its message does
      // ("... does not match target host name ...", "no alternative
      // certificate subject name matches target host name ...").
      if (verifyResult == 0 || std::strstr(errorText, "target host name")) {
        return kInternetErrorSecCertCnInvalid;
      }
      return kInternetErrorInvalidCa;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_UNSUPPORTED_PROTOCOL: return kHttpErrorInvalidServerResponse;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR: return kInternetErrorSecurityChannel;
    case CURLE_OUT_OF_MEMORY:
      // curl reports a header line longer than it takes (100 KiB) as out of
      // memory, with no message of its own: before the answer's head is
      // complete, that is an answer we can't read, not a full heap.
      return headDone ? kErrorNotEnoughMemory : kHttpErrorInvalidServerResponse;
    default: return kInternetErrorInternal;
  }
}

bool Fail(int32_t code) {
  SetLastErrorCode(code);
  return false;
}

void Touch(HttpHandle* r) { r->lastActivity = SteadyClock::now(); }

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  HttpHandle* r = static_cast<HttpHandle*>(user);
  size_t n = size * count;
  Touch(r);
  AddAnswerHeaderLine(&r->head, data, n);
  return n;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  HttpHandle* r = static_cast<HttpHandle*>(user);
  size_t n = size * count;
  Touch(r);
  size_t used = 0;
  if (r->target && r->pendingOffset == r->pending.size()) {
    used = std::min(n, r->targetSize - r->targetFilled);
    std::memcpy(r->target + r->targetFilled, data, used);
    r->targetFilled += used;
  } else if (r->pending.size() - r->pendingOffset >= kPendingLimit) {
    r->paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (r->pendingOffset == r->pending.size()) {
    r->pending.clear();
    r->pendingOffset = 0;
  }
  r->pending.append(data + used, n - used);
  return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t downNow, curl_off_t, curl_off_t upNow) {
  HttpHandle* r = static_cast<HttpHandle*>(user);
  if (downNow != r->lastDown || upNow != r->lastUp) {
    r->lastDown = downNow;
    r->lastUp = upNow;
    Touch(r);
  }
  return 0;
}

uint32_t IdleLimitMs(const HttpHandle* r) {
  const HttpHandle* s = r->connection->session;
  return std::max(s->sendTimeoutMs, s->receiveTimeoutMs);
}

// Runs the transfer until ready() holds, the transfer ends, nothing has moved
// for the send/receive time-out, or the exchange has lasted its limit. False
// (with the code set) on a failure or time-out; a finished transfer is not a
// failure by itself. A time-out ends the exchange: later reads fail at once.
template <typename Ready>
bool Drive(HttpHandle* r, Ready ready) {
  if (r->timedOut) return Fail(kInternetErrorTimeout);
  uint32_t idleLimit = IdleLimitMs(r);
  auto exchangeLimit = std::chrono::milliseconds(HttpExchangeLimit());
  while (!ready() && !r->done) {
    int running = 0;
    CURLMcode mc = curl_multi_perform(r->multi, &running);
    if (mc != CURLM_OK) return Fail(kInternetErrorInternal);
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(r->multi, &left)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == r->easy) {
        r->done = true;
        r->result = msg->data.result;
        curl_easy_getinfo(r->easy, CURLINFO_SSL_VERIFYRESULT, &r->verifyResult);
      }
    }
    if (ready() || r->done) break;
    auto now = SteadyClock::now();
    bool idle = idleLimit != 0 && now - r->lastActivity >= std::chrono::milliseconds(idleLimit);
    if (idle || now - r->started >= exchangeLimit) {
      r->timedOut = true;
      return Fail(kInternetErrorTimeout);
    }
    curl_multi_poll(r->multi, nullptr, 0, 50, nullptr);
  }
  return true;
}

}  // namespace

HttpHandle* HttpOpenSession(const char* userAgent) {
  EnsureCurl();
  HttpHandle* h = new HttpHandle{};
  h->kind = HttpHandle::Kind::Session;
  h->userAgent = userAgent ? userAgent : "";
  return h;
}

bool HttpSetOption(HttpHandle* session, HttpOption option, uint32_t value) {
  if (!session || session->kind != HttpHandle::Kind::Session) return Fail(12018);
  switch (option) {
    case HttpOption::ConnectTimeout: session->connectTimeoutMs = value; break;
    // curl has no retry of its own; a refused connection stays refused.
    case HttpOption::ConnectRetries: break;
    case HttpOption::SendTimeout: session->sendTimeoutMs = value; break;
    case HttpOption::ReceiveTimeout: session->receiveTimeoutMs = value; break;
  }
  return true;
}

HttpHandle* HttpConnect(HttpHandle* session, const char* host, uint16_t port, bool secure) {
  if (!session || session->kind != HttpHandle::Kind::Session || !host || !*host) {
    SetLastErrorCode(kInternetErrorInvalidUrl);
    return nullptr;
  }
  HttpHandle* h = new HttpHandle{};
  h->kind = HttpHandle::Kind::Connection;
  h->session = session;
  h->host = host;
  h->port = port;
  h->secure = secure;
  return h;
}

HttpHandle* OpenHttpRequest(HttpHandle* connection, const char* verb, const char* object, bool) {
  if (!connection || connection->kind != HttpHandle::Kind::Connection) {
    SetLastErrorCode(12018);
    return nullptr;
  }
  HttpHandle* h = new HttpHandle{};
  h->kind = HttpHandle::Kind::Request;
  h->connection = connection;
  h->verb = verb ? verb : "GET";
  h->object = object && *object ? object : "/";
  if (h->object[0] != '/') h->object.insert(0, "/");
  return h;
}

bool HttpAddRequestHeader(HttpHandle* request, const char* header, uint32_t length) {
  if (!request || request->kind != HttpHandle::Kind::Request || request->sent) return Fail(12019);
  std::string line(header, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) return Fail(12153);  // ERROR_HTTP_INVALID_HEADER
  // Replace: one header of a name.
  std::string name = line.substr(0, colon);
  for (auto it = request->addedHeaders.begin(); it != request->addedHeaders.end();) {
    if (it->size() > colon && (*it)[colon] == ':' && EqualsNoCase(it->substr(0, colon), name.c_str())) {
      it = request->addedHeaders.erase(it);
    } else {
      ++it;
    }
  }
  request->addedHeaders.push_back(line);
  return true;
}

bool SendHttpRequest(HttpHandle* request, const void* data, uint32_t length) {
  if (!request || request->kind != HttpHandle::Kind::Request || request->sent) return Fail(12019);
  request->sent = true;
  const HttpHandle* c = request->connection;
  const HttpHandle* s = c->session;
  std::string url = RequestUrl(c->host, c->port, c->secure, request->object);

  request->easy = curl_easy_init();
  request->multi = curl_multi_init();
  if (!request->easy || !request->multi) return Fail(kErrorNotEnoughMemory);
  CURL* e = request->easy;
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(e, CURLOPT_USERAGENT, s->userAgent.c_str());
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(s->connectTimeoutMs));
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, request->errorText);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, request);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, request);
  curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(e, CURLOPT_XFERINFODATA, request);
  curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
  if (request->verb == "GET") {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  } else if (request->verb == "POST") {
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, data ? data : "");
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(data ? length : 0));
  } else {
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, request->verb.c_str());
  }
  request->headerList = curl_slist_append(request->headerList, "Accept: application/*, text/*");
  // WinINet sends the body straight away; so do we.
  request->headerList = curl_slist_append(request->headerList, "Expect:");
  for (const std::string& h : request->addedHeaders) {
    request->headerList = curl_slist_append(request->headerList, h.c_str());
  }
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, request->headerList);
  curl_multi_add_handle(request->multi, e);

  Touch(request);
  request->started = SteadyClock::now();
  if (!Drive(request, [request] { return request->head.done; })) return false;
  if (!request->head.done) {
    if (request->result != CURLE_OK) {
      return Fail(WinInetCodeFromCurl(request->result, request->verifyResult, request->errorText, false));
    }
    return Fail(kHttpErrorInvalidServerResponse);
  }
  return true;
}

bool HttpQueryStatusCode(HttpHandle* request, char* text, uint32_t size) {
  if (!request || !request->head.done) return Fail(12019);
  std::string number = std::to_string(request->head.status);
  if (number.size() + 1 > size) return Fail(122);  // ERROR_INSUFFICIENT_BUFFER
  std::memcpy(text, number.c_str(), number.size() + 1);
  return true;
}

bool HttpQueryContentLength(HttpHandle* request, uint32_t* length) {
  if (!request || !request->head.done) return Fail(12019);
  if (!AnswerContentLength(request->head, length)) return Fail(kHttpErrorHeaderNotFound);
  return true;
}

bool HttpQueryLocation(HttpHandle* request, char* text, uint32_t size) {
  if (!request || !request->head.done) return Fail(12019);
  const std::string* line = FindAnswerHeader(request->head, "Location");
  if (!line) return Fail(kHttpErrorHeaderNotFound);
  std::string value = AnswerHeaderValue(*line);
  if (value.size() + 1 > size) return Fail(122);
  std::memcpy(text, value.c_str(), value.size() + 1);
  return true;
}

bool HttpQueryRawHeaders(HttpHandle* request, std::string* text) {
  if (!request || !request->head.done) return Fail(12019);
  *text = AnswerRawHeaders(request->head);
  return true;
}

bool HttpReadData(HttpHandle* request, void* buffer, uint32_t size, uint32_t* got) {
  *got = 0;
  if (!request || !request->head.done) return Fail(12019);
  char* out = static_cast<char*>(buffer);
  size_t filled = std::min(static_cast<size_t>(size), request->pending.size() - request->pendingOffset);
  std::memcpy(out, request->pending.data() + request->pendingOffset, filled);
  request->pendingOffset += filled;
  if (filled < size) {
    request->target = out;
    request->targetSize = size;
    request->targetFilled = filled;
    Touch(request);
    if (request->paused) {
      request->paused = false;
      curl_easy_pause(request->easy, CURLPAUSE_CONT);
    }
    bool ok = Drive(request, [request] { return request->targetFilled == request->targetSize; });
    filled = request->targetFilled;
    request->target = nullptr;
    request->targetSize = 0;
    request->targetFilled = 0;
    // What came before a time-out is of no use: the body can't be whole.
    if (!ok) return false;
  }
  *got = static_cast<uint32_t>(filled);
  if (filled == 0 && request->done && request->result != CURLE_OK) {
    return Fail(WinInetCodeFromCurl(request->result, request->verifyResult, request->errorText, true));
  }
  return true;
}

void HttpCloseHandle(HttpHandle* handle) {
  if (!handle) return;
  if (handle->multi && handle->easy) curl_multi_remove_handle(handle->multi, handle->easy);
  if (handle->easy) curl_easy_cleanup(handle->easy);
  if (handle->multi) curl_multi_cleanup(handle->multi);
  if (handle->headerList) curl_slist_free_all(handle->headerList);
  delete handle;
}

}  // namespace plat
