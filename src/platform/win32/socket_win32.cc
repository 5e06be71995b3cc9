#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

#include "platform/errors.h"
#include "platform/socket.h"

namespace plat {

struct Socket {
  SOCKET s;
};

namespace {

void EnsureWinsock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
  });
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

void LimitSends(SOCKET s) {
  DWORD limit = kSocketSendTimeoutMs;
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
}

Socket* Failed(SOCKET s) {
  SetLastErrorCode(::WSAGetLastError());
  if (s != INVALID_SOCKET) ::closesocket(s);
  return nullptr;
}

// select() on up to two sockets; bits as WaitReadable answers.
int Select(Socket* a, Socket* b, int timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  if (a) FD_SET(a->s, &set);
  if (b) FD_SET(b->s, &set);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  int ready = ::select(0, &set, nullptr, nullptr, &limit);
  if (ready < 0) return -1;
  int bits = 0;
  if (a && FD_ISSET(a->s, &set)) bits |= 1;
  if (b && FD_ISSET(b->s, &set)) bits |= 2;
  return bits;
}

}  // namespace

Socket* ListenLoopback(uint16_t* port) {
  EnsureWinsock();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return Failed(s);
  // Exclusive use: another process must not share our port.
  BOOL one = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_in address = Loopback(*port);
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return Failed(s);
  if (::listen(s, 64) != 0) return Failed(s);
  int size = sizeof address;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) return Failed(s);
  *port = ntohs(address.sin_port);
  return new Socket{s};
}

Socket* AcceptConnection(Socket* listener, int timeoutMs) {
  if (Select(listener, nullptr, timeoutMs) <= 0) return nullptr;
  SOCKET s = ::accept(listener->s, nullptr, nullptr);
  if (s == INVALID_SOCKET) return Failed(s);
  BOOL one = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  LimitSends(s);
  return new Socket{s};
}

Socket* ConnectLoopback(uint16_t port) {
  EnsureWinsock();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return Failed(s);
  sockaddr_in address = Loopback(port);
  if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return Failed(s);
  LimitSends(s);
  return new Socket{s};
}

int ReceiveSome(Socket* socket, void* buffer, int size, int timeoutMs) {
  int ready = Select(socket, nullptr, timeoutMs);
  if (ready == 0) return kSocketTimedOut;
  if (ready < 0) return kSocketFailed;
  int n = ::recv(socket->s, static_cast<char*>(buffer), size, 0);
  if (n == SOCKET_ERROR) return ::WSAGetLastError() == WSAECONNRESET ? 0 : kSocketFailed;
  return n;
}

bool SendAll(Socket* socket, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    int chunk = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
    int n = ::send(socket->s, p, chunk, 0);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int WaitReadable(Socket* a, Socket* b, int timeoutMs) { return Select(a, b, timeoutMs); }

void ShutdownSend(Socket* socket) {
  if (socket) ::shutdown(socket->s, SD_SEND);
}

void CloseSocket(Socket* socket) {
  if (!socket) return;
  ::closesocket(socket->s);
  delete socket;
}

}  // namespace plat
