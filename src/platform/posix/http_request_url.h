// The URL text the Linux backend hands to curl for a request, made from the
// connection's host, port and security and the request's object. Apart from
// the exchange, so that what the allow-list approved can be set beside what
// curl would really contact.
#pragma once
#include <cstdint>
#include <string>

namespace plat {

// "http[s]://host:port" and the object (which starts with '/'); a host with a
// colon that isn't bracketed yet is an IPv6 literal and gets its brackets.
std::string RequestUrl(const std::string& host, uint16_t port, bool secure, const std::string& object);

}  // namespace plat
