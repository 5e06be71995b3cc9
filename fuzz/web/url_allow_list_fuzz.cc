// Feeds arbitrary text to ParseUrl and httpTestDomain, and sets what the
// allow-list approved beside what the HTTP client would really contact.
//
// The rule: when a URL is allowed, the host it was judged by is the very
// host curl connects to for the request the backend makes of it (the host,
// port and object that ParseUrl handed over, put together as the backend puts
// them), and that host is one of ours by a reading of the list made here,
// not by the program's own matching. A URL the client would send elsewhere
// must be refused. curl's own URL parser, with the flags curl's transfer uses,
// is the judge of where a request goes.
//
// Besides: only the three statuses, parts that fit their buffers, and an
// object that starts with '/', as the request line needs it.
#include <curl/curl.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/http_request_url.h"
#include "web/allow_list.h"

namespace {

void Check(bool ok, const char* what, const std::string& url, const std::string& detail = std::string()) {
  if (!ok) {
    std::fprintf(stderr, "url_allow_list_fuzz: %s\n  url: [%s]\n  %s\n", what, url.c_str(), detail.c_str());
    std::abort();
  }
}

std::string Lower(const std::string& text) {
  std::string lower;
  for (char c : text) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return lower;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Ours: a list entry, or a name under a domain entry (the entry with a dot
// before it). The address entry is only ever the whole host.
bool HostIsOurs(const std::string& host) {
  static const char* const kOurs[] = {"kelvo.com", "kelvorobotics.com", "kelvo.net", "kelvoupdates.com"};
  std::string lower = Lower(host);
  if (lower == "10.40.1.15") return true;
  for (const char* entry : kOurs) {
    if (lower == entry || EndsWith(lower, std::string(".") + entry)) return true;
  }
  return false;
}

// The host curl's transfer would connect to for this URL text; false when
// curl would refuse the text (then nothing is contacted).
bool CurlHost(const std::string& url, std::string* host) {
  CURLU* u = curl_url();
  if (!u) std::abort();
  bool ok = curl_url_set(u, CURLUPART_URL, url.c_str(), CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
  char* part = nullptr;
  if (ok) ok = curl_url_get(u, CURLUPART_HOST, &part, 0) == CURLUE_OK && part;
  if (ok) *host = part;
  curl_free(part);
  curl_url_cleanup(u);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Refused hosts are announced on standard output; not wanted here.
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  curl_global_init(CURL_GLOBAL_DEFAULT);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string url(reinterpret_cast<const char*>(data), size);
  url.resize(std::strlen(url.c_str()));  // the routines take zero-terminated text

  UrlService service = UrlService::Other;
  char host[kUrlPartSize];
  char object[kUrlPartSize];
  std::memset(host, 'x', sizeof host);
  std::memset(object, 'x', sizeof object);
  uint16_t port = 0;
  bool parsed = ParseUrl(url.c_str(), &service, host, object, &port);
  Check(parsed || service == UrlService::Other, "a failed parse with a service", url);
  if (parsed) {
    Check(std::memchr(host, '\0', sizeof host) != nullptr, "the host runs off its buffer", url);
    Check(std::memchr(object, '\0', sizeof object) != nullptr, "the object runs off its buffer", url);
    Check(service == UrlService::Other || host[0] != '\0', "a web URL without a host", url);
  }

  int status = httpTestDomain(url.c_str());
  Check(status == 200 || status == 400 || status == 403, "a status outside 200, 400, 403", url);
  Check(status != 400 || !parsed, "400 for a URL that parses", url);
  if (status != 200) return 0;
  Check(parsed && service != UrlService::Other, "allowed, but not an HTTP or HTTPS URL", url);
  Check(object[0] == '/', "an object that does not start with '/'", url, object);

  std::string request = plat::RequestUrl(host, port, service == UrlService::Https, object);
  std::string contacted;
  if (!CurlHost(request, &contacted)) return 0;  // curl refuses it: nothing is contacted
  Check(Lower(contacted) == Lower(host), "the host contacted is not the host approved", url,
        "approved [" + std::string(host) + "], request [" + request + "], contacted [" + contacted + "]");
  Check(HostIsOurs(contacted), "an allowed URL reaches a host that is not ours", url,
        "request [" + request + "], contacted [" + contacted + "]");
  return 0;
}
