// HTTP exchanges, shaped after WinINet: a session, a connection and a request,
// each an opaque handle, driven step by step by the portable client in src/web.
// Every failing call leaves a WinINet error code (12xxx) in plat::LastErrorCode()
// on every build: the Windows backend is WinINet itself, the Linux backend
// (libcurl) translates curl's codes through one table in posix/http_posix.cc.
//
// Nothing follows redirects on its own: the client sees every 3xx answer and
// decides itself whether the next hop may be visited.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace plat {

// INTERNET_MAX_URL_LENGTH: host and object buffers hold this many characters
// and a terminator.
constexpr size_t kMaxUrlLength = 2084;

enum class UrlScheme { Http, Https, Other };

// Canonicalises the URL the way a browser would (dot segments resolved,
// blanks escaped) and splits it. host: no port, user name or password.
// object: the path with its query, never the fragment. port: the one written,
// or the scheme's default. host and object must hold kMaxUrlLength + 1 bytes.
// False when the text can't be canonicalised or split (no scheme, no host
// for http/https, a part too long, a bad port).
bool CanonicalizeAndCrackUrl(const char* url, UrlScheme* scheme, char* host, char* object,
                             uint16_t* port);

// Resolves a redirect target (absolute or relative) against the URL that
// answered with it. False when the result can't be built or doesn't fit.
bool CombineUrl(const char* base, const char* relative, char* out, size_t outSize);

// WinINet error codes the client and the tests speak of.
constexpr int32_t kInternetErrorTimeout = 12002;
constexpr int32_t kInternetErrorInternal = 12004;
constexpr int32_t kInternetErrorInvalidUrl = 12005;
constexpr int32_t kInternetErrorNameNotResolved = 12007;
constexpr int32_t kInternetErrorOperationCancelled = 12017;
constexpr int32_t kInternetErrorCannotConnect = 12029;
constexpr int32_t kInternetErrorConnectionAborted = 12030;
constexpr int32_t kInternetErrorConnectionReset = 12031;
constexpr int32_t kInternetErrorSecCertDateInvalid = 12037;
constexpr int32_t kInternetErrorSecCertCnInvalid = 12038;
constexpr int32_t kInternetErrorHttpsToHttpOnRedirect = 12040;
constexpr int32_t kInternetErrorInvalidCa = 12045;
constexpr int32_t kInternetErrorSecCertErrors = 12055;
constexpr int32_t kHttpErrorHeaderNotFound = 12150;
constexpr int32_t kHttpErrorInvalidServerResponse = 12152;
constexpr int32_t kHttpErrorRedirectFailed = 12156;
constexpr int32_t kInternetErrorSecurityChannel = 12157;
constexpr int32_t kInternetErrorSecInvalidCert = 12169;

// Fixed session settings.
constexpr uint32_t kHttpConnectTimeoutMs = 5000;
constexpr uint32_t kHttpConnectRetries = 1;
// Send and receive time-outs. This is WinINet's own default on current
// Windows; it is set explicitly so that every build (wine's WinINet and the
// curl backend have none) ends a stalled exchange instead of hanging.
constexpr uint32_t kHttpSendReceiveTimeoutMs = 30000;

// The longest one exchange (one request, from its sending to the last byte of
// its answer) may last, however steadily the server keeps it alive: a 1xx
// answer every few seconds or a byte every ten never trips the receive
// time-out. Sized for the largest body we take, 20 MiB, on a slow line:
// 64 kbit/s moves 8,000 bytes a second, 20,971,520 / 8,000 = 2,622 s, about
// 44 minutes; one hour leaves room for a line that averages 5.8 KB/s
// (47 kbit/s). Ended with ERROR_INTERNET_TIMEOUT, as a stalled read is.
constexpr uint32_t kHttpExchangeLimitMs = 3600000;

// The send/receive time-out httpOpenServer sets, and the exchange limit:
// the constants above unless a test asked for shorter ones (0 puts the
// constant back). Only tests set them; a 30-second or one-hour wait can't
// be part of a test run, and a fake clock can't make a real socket wait.
uint32_t HttpSendReceiveTimeout();
void SetHttpSendReceiveTimeoutForTests(uint32_t milliseconds);
uint32_t HttpExchangeLimit();
void SetHttpExchangeLimitForTests(uint32_t milliseconds);

enum class HttpOption { ConnectTimeout, ConnectRetries, SendTimeout, ReceiveTimeout };

struct HttpHandle;

// InternetOpenA: preconfigured proxy (Linux: http_proxy, https_proxy,
// no_proxy), synchronous.
HttpHandle* HttpOpenSession(const char* userAgent);
// InternetSetOptionExA with a 4-byte value on a session.
bool HttpSetOption(HttpHandle* session, HttpOption option, uint32_t value);
// InternetConnectA for the HTTP service; secure adds INTERNET_FLAG_SECURE.
HttpHandle* HttpConnect(HttpHandle* session, const char* host, uint16_t port, bool secure);
// HttpOpenRequestA with "HTTP/1.1", no referrer, the accept types
// "application/*" and "text/*", INTERNET_FLAG_SECURE when secure, and
// automatic redirects switched off.
HttpHandle* OpenHttpRequest(HttpHandle* connection, const char* verb, const char* object,
                            bool secure);
// HttpAddRequestHeadersA with HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE.
bool HttpAddRequestHeader(HttpHandle* request, const char* header, uint32_t length);
// HttpSendRequestA: sends the request (with data as its body, if any) and
// receives the answer's status line and headers.
bool SendHttpRequest(HttpHandle* request, const void* data, uint32_t length);
// HTTP_QUERY_STATUS_CODE as text.
bool HttpQueryStatusCode(HttpHandle* request, char* text, uint32_t size);
// HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER. False when the answer
// carries no Content-Length.
bool HttpQueryContentLength(HttpHandle* request, uint32_t* length);
// HTTP_QUERY_LOCATION as text. False when there is none or it doesn't fit.
bool HttpQueryLocation(HttpHandle* request, char* text, uint32_t size);
// HTTP_QUERY_RAW_HEADERS_CRLF: the final answer's status line and every
// header line as received, each ended by CR LF, then an empty line.
bool HttpQueryRawHeaders(HttpHandle* request, std::string* text);
// InternetReadFile: up to size bytes; got 0 with true means the body ended.
bool HttpReadData(HttpHandle* request, void* buffer, uint32_t size, uint32_t* got);
// InternetCloseHandle.
void HttpCloseHandle(HttpHandle* handle);

}  // namespace plat
