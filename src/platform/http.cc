#include "platform/http.h"

namespace plat {
namespace {
uint32_t g_sendReceiveTimeoutMs = 0;  // 0: the default
uint32_t g_exchangeLimitMs = 0;
}  // namespace

uint32_t HttpSendReceiveTimeout() {
  return g_sendReceiveTimeoutMs ? g_sendReceiveTimeoutMs : kHttpSendReceiveTimeoutMs;
}

void SetHttpSendReceiveTimeoutForTests(uint32_t milliseconds) {
  g_sendReceiveTimeoutMs = milliseconds;
}

uint32_t HttpExchangeLimit() { return g_exchangeLimitMs ? g_exchangeLimitMs : kHttpExchangeLimitMs; }

void SetHttpExchangeLimitForTests(uint32_t milliseconds) { g_exchangeLimitMs = milliseconds; }

}  // namespace plat
