// The HTTP exchange on WinINet: each handle is the WinINet handle itself.
// Failures leave GetLastError() as WinINet set it.
#include <winsock2.h>
#include <windows.h>
#include <wininet.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/http.h"

namespace plat {

namespace {

HINTERNET Native(HttpHandle* handle) { return reinterpret_cast<HINTERNET>(handle); }
HttpHandle* Wrap(HINTERNET handle) { return reinterpret_cast<HttpHandle*>(handle); }

// wine's WinINet lets a few Winsock codes through where Windows gives its
// own; the program reports WinINet codes only.
bool FailedCall() {
  DWORD code = ::GetLastError();
  switch (code) {
    case WSAETIMEDOUT: code = ERROR_INTERNET_TIMEOUT; break;
    case WSAECONNREFUSED: code = ERROR_INTERNET_CANNOT_CONNECT; break;
    case WSAECONNABORTED: code = ERROR_INTERNET_CONNECTION_ABORTED; break;
    case WSAECONNRESET: code = ERROR_INTERNET_CONNECTION_RESET; break;
    default: break;
  }
  ::SetLastError(code);
  return false;
}

// When the request now under way was sent. One exchange at a time: the
// program has one thread, and every exchange ends before the next begins.
DWORD g_exchangeStarted = 0;

bool ExchangeOverLimit() { return ::GetTickCount() - g_exchangeStarted >= HttpExchangeLimit(); }

DWORD LimitRemaining() {
  DWORD spent = ::GetTickCount() - g_exchangeStarted;
  return spent >= HttpExchangeLimit() ? 0 : HttpExchangeLimit() - spent;
}

bool FailTimeout() {
  ::SetLastError(ERROR_INTERNET_TIMEOUT);
  return false;
}

// A failed call on a request: a time-out when the exchange ran out of time.
bool FailedRequestCall() { return ExchangeOverLimit() ? FailTimeout() : FailedCall(); }

// WinINet reads interim (1xx) answers inside HttpSendRequest for as long as a
// server sends them, and a synchronous call can't be ended early on every
// WinINet (closing its handle from another thread doesn't end wine's). So the
// session is asynchronous: a call that can wait on the server answers
// ERROR_IO_PENDING, its end comes to StatusCallback on a WinINet thread, and
// this thread waits for that no longer than the exchange has left. A call
// given up on is never waited for again: its request is closed by the
// caller, and its late end is told apart by the request's context, a number
// no other request shares.
CRITICAL_SECTION g_completionLock;
HANDLE g_completed = nullptr;          // set when the awaited call has ended
DWORD_PTR g_awaitedContext = 0;        // the request whose call is awaited
DWORD g_completionError = ERROR_SUCCESS;
DWORD_PTR g_nextContext = 0;

void CALLBACK StatusCallback(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD) {
  if (status != INTERNET_STATUS_REQUEST_COMPLETE || !info) return;
  const INTERNET_ASYNC_RESULT* result = static_cast<const INTERNET_ASYNC_RESULT*>(info);
  ::EnterCriticalSection(&g_completionLock);
  if (context != 0 && context == g_awaitedContext) {
    g_completionError = result->dwResult ? ERROR_SUCCESS : result->dwError;
    g_awaitedContext = 0;
    ::SetEvent(g_completed);
  }
  ::LeaveCriticalSection(&g_completionLock);
}

DWORD_PTR ContextOf(HINTERNET request) {
  DWORD_PTR context = 0;
  DWORD size = sizeof context;
  if (!::InternetQueryOptionA(request, INTERNET_OPTION_CONTEXT_VALUE, &context, &size)) return 0;
  return context;
}

// Runs one call on a request; a pending one is waited for until the
// exchange limit. True when the call succeeded; otherwise GetLastError() says
// why (ERROR_INTERNET_TIMEOUT at the limit). pended: the call went pending.
// abandoned: it was given up on while still running, so whatever memory it
// was given must stay as it is for good.
template <typename Call>
bool Complete(HINTERNET request, Call call, bool* pended, bool* abandoned) {
  *pended = false;
  *abandoned = false;
  DWORD_PTR context = ContextOf(request);
  ::EnterCriticalSection(&g_completionLock);
  g_awaitedContext = context;
  ::ResetEvent(g_completed);
  ::LeaveCriticalSection(&g_completionLock);
  bool done = call();
  DWORD error = done ? ERROR_SUCCESS : ::GetLastError();
  *pended = !done && error == ERROR_IO_PENDING;
  // Without a context its end could not be told apart: left to itself.
  *abandoned = *pended && context == 0;
  if (*pended && context != 0) {
    bool ended = ::WaitForSingleObject(g_completed, LimitRemaining()) == WAIT_OBJECT_0;
    ::EnterCriticalSection(&g_completionLock);
    if (!ended) ended = ::WaitForSingleObject(g_completed, 0) == WAIT_OBJECT_0;
    g_awaitedContext = 0;
    *abandoned = !ended;
    error = ended ? g_completionError : ERROR_INTERNET_TIMEOUT;
    ::LeaveCriticalSection(&g_completionLock);
    done = error == ERROR_SUCCESS;
  } else {
    ::EnterCriticalSection(&g_completionLock);
    g_awaitedContext = 0;
    ::LeaveCriticalSection(&g_completionLock);
  }
  ::SetLastError(error);
  return done;
}

}  // namespace

bool CanonicalizeAndCrackUrl(const char* url, UrlScheme* scheme, char* host, char* object,
                             uint16_t* port) {
  *scheme = UrlScheme::Other;
  if (!url) return false;
  char canonical[kMaxUrlLength + 1];
  std::vector<char> larger;
  char* text = canonical;
  DWORD size = sizeof canonical;
  if (!::InternetCanonicalizeUrlA(url, canonical, &size, ICU_BROWSER_MODE)) {
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    larger.resize(static_cast<size_t>(size) + 1);
    size = static_cast<DWORD>(larger.size());
    if (!::InternetCanonicalizeUrlA(url, larger.data(), &size, ICU_BROWSER_MODE)) return false;
    text = larger.data();
  }
  URL_COMPONENTSA parts;
  std::memset(&parts, 0, sizeof parts);
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = static_cast<DWORD>(kMaxUrlLength + 1);
  parts.lpszUrlPath = object;
  parts.dwUrlPathLength = static_cast<DWORD>(kMaxUrlLength + 1);
  host[0] = '\0';
  object[0] = '\0';
  if (!::InternetCrackUrlA(text, 0, 0, &parts)) return false;
  // The path comes with the extra information; the fragment is the
  // browser's and never goes to a server.
  if (char* hash = std::strchr(object, '#')) *hash = '\0';
  if (parts.nScheme == INTERNET_SCHEME_HTTP || parts.nScheme == INTERNET_SCHEME_HTTPS) {
    // "http://" alone cracks into an empty host: nothing to connect to.
    if (host[0] == '\0') return false;
    if (object[0] == '\0') std::strcpy(object, "/");
    *scheme = parts.nScheme == INTERNET_SCHEME_HTTP ? UrlScheme::Http : UrlScheme::Https;
  }
  *port = parts.nPort;
  return true;
}

bool CombineUrl(const char* base, const char* relative, char* out, size_t outSize) {
  if (!base || !relative || outSize == 0) return false;
  DWORD size = static_cast<DWORD>(outSize);
  if (::InternetCombineUrlA(base, relative, out, &size, ICU_BROWSER_MODE)) return true;
  return false;
}

HttpHandle* HttpOpenSession(const char* userAgent) {
  if (!g_completed) {
    g_completed = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!g_completed) return nullptr;
    ::InitializeCriticalSection(&g_completionLock);
  }
  HINTERNET session = ::InternetOpenA(userAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr,
                                      INTERNET_FLAG_ASYNC);
  if (session) ::InternetSetStatusCallbackA(session, StatusCallback);
  return Wrap(session);
}

bool HttpSetOption(HttpHandle* session, HttpOption option, uint32_t value) {
  DWORD number = 0;
  switch (option) {
    case HttpOption::ConnectTimeout: number = INTERNET_OPTION_CONNECT_TIMEOUT; break;
    case HttpOption::ConnectRetries: number = INTERNET_OPTION_CONNECT_RETRIES; break;
    case HttpOption::SendTimeout: number = INTERNET_OPTION_SEND_TIMEOUT; break;
    case HttpOption::ReceiveTimeout: number = INTERNET_OPTION_RECEIVE_TIMEOUT; break;
  }
  DWORD data = value;
  return ::InternetSetOptionExA(Native(session), number, &data, sizeof data, 0) != FALSE;
}

HttpHandle* HttpConnect(HttpHandle* session, const char* host, uint16_t port, bool secure) {
  return Wrap(::InternetConnectA(Native(session), host, port, nullptr, nullptr, INTERNET_SERVICE_HTTP,
                                 secure ? INTERNET_FLAG_SECURE : 0, 1));
}

HttpHandle* OpenHttpRequest(HttpHandle* connection, const char* verb, const char* object,
                            bool secure) {
  static const char* kAcceptTypes[] = {"application/*", "text/*", nullptr};
  DWORD flags = INTERNET_FLAG_NO_AUTO_REDIRECT | (secure ? INTERNET_FLAG_SECURE : 0);
  HINTERNET request = ::HttpOpenRequestA(Native(connection), verb, object, "HTTP/1.1", nullptr,
                                         kAcceptTypes, flags, ++g_nextContext);
  if (request) {
    // wine's WinINet takes the send and receive time-outs only from the
    // request itself, not from its session.
    DWORD timeout = HttpSendReceiveTimeout();
    ::InternetSetOptionExA(request, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof timeout, 0);
    ::InternetSetOptionExA(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout, 0);
  }
  return Wrap(request);
}

bool HttpAddRequestHeader(HttpHandle* request, const char* header, uint32_t length) {
  return ::HttpAddRequestHeadersA(Native(request), header, length,
                                  HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE) != FALSE;
}

bool SendHttpRequest(HttpHandle* request, const void* data, uint32_t length) {
  g_exchangeStarted = ::GetTickCount();
  HINTERNET native = Native(request);
  // WinINet may still be sending the body after the limit gave up on it, and
  // the caller's buffer is gone by then: it sends a copy, which is let go of
  // only when the send has ended.
  void* copy = nullptr;
  if (length > 0) {
    copy = std::malloc(length);
    if (!copy) {
      ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
    std::memcpy(copy, data, length);
  }
  bool pended = false;
  bool abandoned = false;
  bool sent = Complete(native, [&] { return ::HttpSendRequestA(native, nullptr, 0, copy, length) != FALSE; },
                       &pended, &abandoned);
  if (!abandoned) std::free(copy);
  if (!sent) return FailedRequestCall();
  return ExchangeOverLimit() ? FailTimeout() : true;
}

bool HttpQueryStatusCode(HttpHandle* request, char* text, uint32_t size) {
  DWORD n = size;
  return ::HttpQueryInfoA(Native(request), HTTP_QUERY_STATUS_CODE, text, &n, nullptr) != FALSE;
}

bool HttpQueryContentLength(HttpHandle* request, uint32_t* length) {
  DWORD number = 0;
  DWORD n = sizeof number;
  bool numberRead = ::HttpQueryInfoA(Native(request), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                                     &number, &n, nullptr) != FALSE;
  // A length beyond 32 bits either wraps into a small number or fails the
  // number form altogether; read the text too, so that it stays too large.
  char text[64];
  DWORD textSize = sizeof text;
  if (::HttpQueryInfoA(Native(request), HTTP_QUERY_CONTENT_LENGTH, text, &textSize, nullptr) &&
      text[0] >= '0' && text[0] <= '9' && std::strtoull(text, nullptr, 10) > 0xFFFFFFFFull) {
    *length = 0xFFFFFFFFu;
    return true;
  }
  if (!numberRead) return false;
  *length = number;
  return true;
}

bool HttpQueryLocation(HttpHandle* request, char* text, uint32_t size) {
  DWORD n = size;
  return ::HttpQueryInfoA(Native(request), HTTP_QUERY_LOCATION, text, &n, nullptr) != FALSE;
}

bool HttpQueryRawHeaders(HttpHandle* request, std::string* text) {
  DWORD n = 0;
  if (::HttpQueryInfoA(Native(request), HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &n, nullptr)) return false;
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || n == 0) return false;
  std::vector<char> buffer(static_cast<size_t>(n) + 1);
  n = static_cast<DWORD>(buffer.size());
  if (!::HttpQueryInfoA(Native(request), HTTP_QUERY_RAW_HEADERS_CRLF, buffer.data(), &n, nullptr)) return false;
  text->assign(buffer.data(), n);
  return true;
}

bool HttpReadData(HttpHandle* request, void* buffer, uint32_t size, uint32_t* got) {
  *got = 0;
  // A byte now and then keeps WinINet's receive time-out from ever firing,
  // and a read of a given size waits for all of it: so wait only for what
  // has come, read that, and look at the exchange limit in between.
  if (ExchangeOverLimit()) return FailTimeout();
  HINTERNET native = Native(request);
  // A pending query ends when data has come; asked again, it answers at
  // once. It writes the count when it ends, so the count lives on the heap
  // and is let go of only when no query on it is left running.
  DWORD* count = static_cast<DWORD*>(std::malloc(sizeof(DWORD)));
  if (!count) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  *count = 0;
  auto query = [&] { return ::InternetQueryDataAvailable(native, count, 0, 0) != FALSE; };
  bool pended = false;
  bool abandoned = false;
  bool queried = Complete(native, query, &pended, &abandoned);
  for (int again = 0; queried && pended && again < 3; ++again) {
    queried = Complete(native, query, &pended, &abandoned);
  }
  DWORD available = *count;
  if (!abandoned) std::free(count);
  if (!queried) return FailedRequestCall();
  if (ExchangeOverLimit()) return FailTimeout();
  if (available == 0) return true;  // the body has ended
  // Only what has come, and never pending: a read left pending at the limit
  // would go on writing into the caller's buffer after we gave up on it.
  INTERNET_BUFFERSA parts;
  std::memset(&parts, 0, sizeof parts);
  parts.dwStructSize = sizeof parts;
  parts.lpvBuffer = buffer;
  parts.dwBufferLength = size < available ? size : available;
  if (!::InternetReadFileExA(native, &parts, IRF_NO_WAIT, 0)) return FailedRequestCall();
  *got = parts.dwBufferLength;
  return true;
}

void HttpCloseHandle(HttpHandle* handle) {
  if (handle) ::InternetCloseHandle(Native(handle));
}

}  // namespace plat
