#include "platform/http.h"

namespace plat {
namespace {
uint32_t g_sendReceiveTimeoutMs = 0;  // 0: the default
}  // namespace

uint32_t HttpSendReceiveTimeout() {
  return g_sendReceiveTimeoutMs ? g_sendReceiveTimeoutMs : kHttpSendReceiveTimeoutMs;
}

void SetHttpSendReceiveTimeoutForTests(uint32_t milliseconds) {
  g_sendReceiveTimeoutMs = milliseconds;
}

}  // namespace plat
