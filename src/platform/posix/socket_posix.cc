#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"
#include "platform/socket.h"

namespace plat {

struct Socket {
  int fd;
};

namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

void LimitSends(int fd) {
  timeval limit{kSocketSendTimeoutMs / 1000, (kSocketSendTimeoutMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

Socket* Failed(int fd) {
  SetLastErrorCode(WindowsCodeFromErrno(errno));
  if (fd >= 0) ::close(fd);
  return nullptr;
}

}  // namespace

Socket* ListenLoopback(uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Failed(fd);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address = Loopback(*port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return Failed(fd);
  if (::listen(fd, 64) != 0) return Failed(fd);
  socklen_t size = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return Failed(fd);
  *port = ntohs(address.sin_port);
  return new Socket{fd};
}

Socket* AcceptConnection(Socket* listener, int timeoutMs) {
  pollfd p{listener->fd, POLLIN, 0};
  int ready = ::poll(&p, 1, timeoutMs);
  if (ready <= 0) return nullptr;
  int fd = ::accept4(listener->fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return Failed(fd);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  LimitSends(fd);
  return new Socket{fd};
}

Socket* ConnectLoopback(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Failed(fd);
  sockaddr_in address = Loopback(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return Failed(fd);
  LimitSends(fd);
  return new Socket{fd};
}

int ReceiveSome(Socket* socket, void* buffer, int size, int timeoutMs) {
  pollfd p{socket->fd, POLLIN, 0};
  int ready = ::poll(&p, 1, timeoutMs);
  if (ready == 0) return kSocketTimedOut;
  if (ready < 0) return kSocketFailed;
  ssize_t n = ::recv(socket->fd, buffer, static_cast<size_t>(size), 0);
  if (n < 0) return errno == ECONNRESET ? 0 : kSocketFailed;
  return static_cast<int>(n);
}

bool SendAll(Socket* socket, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::send(socket->fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int WaitReadable(Socket* a, Socket* b, int timeoutMs) {
  pollfd p[2] = {{a ? a->fd : -1, POLLIN, 0}, {b ? b->fd : -1, POLLIN, 0}};
  int ready = ::poll(p, 2, timeoutMs);
  if (ready < 0) return -1;
  int bits = 0;
  if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) bits |= 1;
  if (p[1].revents & (POLLIN | POLLHUP | POLLERR)) bits |= 2;
  return bits;
}

void ShutdownSend(Socket* socket) {
  if (socket) ::shutdown(socket->fd, SHUT_WR);
}

void CloseSocket(Socket* socket) {
  if (!socket) return;
  ::close(socket->fd);
  delete socket;
}

}  // namespace plat
