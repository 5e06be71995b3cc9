// The URL allow-list: the program only ever talks to its maker's servers.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/http.h"

enum class UrlService { Http, Https, Other };

constexpr int kAllowedDomainCount = 5;
// Lower case, tested in this order.
extern const char* const AllowedDomains[kAllowedDomainCount];

// Host and object buffers for ParseUrl: 2,084 characters and a terminator.
constexpr size_t kUrlPartSize = plat::kMaxUrlLength + 1;

// Canonicalises and splits a URL. hostName and object hold kUrlPartSize
// bytes. On failure the service is Other and the other parts are not to be used.
bool ParseUrl(const char* url, UrlService* service, char* hostName, char* object, uint16_t* port);

// 200 when the URL may be used, 400 when it can't be parsed, 403 when its
// scheme isn't HTTP or HTTPS or its host isn't one of AllowedDomains (the
// entry itself or a name under it; the IPv4 entry only as the whole host).
int httpTestDomain(const char* url);
