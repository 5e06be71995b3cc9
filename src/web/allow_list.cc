#include "web/allow_list.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "log/log.h"

const char* const AllowedDomains[kAllowedDomainCount] = {
    "kelvo.com", "kelvorobotics.com", "10.40.1.15", "kelvo.net", "kelvoupdates.com",
};

namespace {

// The standard-output line shows at most this many characters of a refused host.
constexpr size_t kShownHostTail = 24;

bool IsDottedDecimal(const char* text) {
  for (const char* p = text; *p; ++p) {
    if (!std::isdigit(static_cast<unsigned char>(*p)) && *p != '.') return false;
  }
  return true;
}

// The last n characters of text (all of it when shorter), lower-cased, into out.
void LowerTail(const char* text, size_t n, char* out) {
  size_t length = std::strlen(text);
  const char* start = length > n ? text + length - n : text;
  size_t i = 0;
  for (; start[i]; ++i) out[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(start[i])));
  out[i] = '\0';
}

// A host is allowed when it is an entry or a name under one (the entry with a
// dot in front). Matching just the entry's last characters would let
// "evilkelvo.com" or "110.40.1.15" through; an address is never a parent of
// other names, so the IPv4 entry must be the whole host.
bool HostMatches(const char* host, const char* entry) {
  size_t hostLength = std::strlen(host);
  size_t entryLength = std::strlen(entry);
  char tail[kUrlPartSize];
  LowerTail(host, entryLength, tail);
  if (std::strcmp(tail, entry) != 0) return false;
  if (hostLength == entryLength) return true;
  if (IsDottedDecimal(entry)) return false;
  return host[hostLength - entryLength - 1] == '.';
}

// The host as the URL text writes it (its end blanks dropped, as WinINet
// drops them) holds printable ASCII only. A control byte or a byte above 127
// in a host name is never one of ours, and must not reach a name lookup.
// Nor may a percent escape: the list judges the host as written, but curl
// decodes escapes in the host before it connects, so "up%dates.kelvo.com"
// passed as written and then a name holding the byte 0xDA was looked up.
// The name judged must be the name contacted, and no name of ours is
// written with an escape.
bool WrittenHostIsPlain(const char* url) {
  std::string text(url);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  size_t start = text.find("://");
  if (start == std::string::npos) return true;  // no host written: the parse decides
  start += 3;
  size_t end = text.find_first_of("/?#\\", start);
  std::string authority = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  for (unsigned char c : authority) {
    if (c < 0x21 || c > 0x7e || c == '%') return false;
  }
  return true;
}

bool IsPrintableHost(const char* host) {
  for (const char* p = host; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x21 || c > 0x7e) return false;
  }
  return true;
}

}  // namespace

bool ParseUrl(const char* url, UrlService* service, char* hostName, char* object, uint16_t* port) {
  *service = UrlService::Other;
  if (!url) return false;
  plat::UrlScheme scheme = plat::UrlScheme::Other;
  if (!WrittenHostIsPlain(url)) return false;
  if (!plat::CanonicalizeAndCrackUrl(url, &scheme, hostName, object, port)) return false;
  if (!IsPrintableHost(hostName)) return false;
  if (scheme == plat::UrlScheme::Http) {
    *service = UrlService::Http;
  } else if (scheme == plat::UrlScheme::Https) {
    *service = UrlService::Https;
  }
  return true;
}

int httpTestDomain(const char* url) {
  UrlService service = UrlService::Other;
  char host[kUrlPartSize];
  char object[kUrlPartSize];
  uint16_t port = 0;
  if (!ParseUrl(url, &service, host, object, &port)) {
    LogWrite("ERROR: httpTestDomain - Could not parse the URL, return 400 Bad Request\n");
    return 400;
  }
  if (service != UrlService::Http && service != UrlService::Https) {
    LogWrite("ERROR: httpTestDomain - Request is forbidden because the protocol is neither HTTP or HTTPS\n");
    return 403;
  }
  for (const char* entry : AllowedDomains) {
    if (HostMatches(host, entry)) return 200;
  }
  char shown[kShownHostTail + 1];
  LowerTail(host, kShownHostTail, shown);
  std::printf("Parsed Domain='%s'\n", shown);
  std::fflush(stdout);
  LogWrite("ERROR: httpTestDomain - The request is forbidden because it is from an unsupported domain [%s]\n",
           host);
  return 403;
}
