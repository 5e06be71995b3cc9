// Minimal loopback sockets, for the test server and tools: the updater itself
// never opens a socket of its own. Everything binds or connects to 127.0.0.1
// only, and every wait has a time-out.
#pragma once
#include <cstddef>
#include <cstdint>

namespace plat {

struct Socket;

// Listens on 127.0.0.1 at *port (0: a free port, which comes back in *port).
Socket* ListenLoopback(uint16_t* port);
// Waits up to timeoutMs for a connection; nullptr on time-out or failure.
Socket* AcceptConnection(Socket* listener, int timeoutMs);
// Connects to 127.0.0.1:port; nullptr when refused or failed.
Socket* ConnectLoopback(uint16_t port);

constexpr int kSocketTimedOut = -1;
constexpr int kSocketFailed = -2;
// Receives up to size bytes, waiting up to timeoutMs: the count, 0 when the
// peer closed, kSocketTimedOut or kSocketFailed.
int ReceiveSome(Socket* socket, void* buffer, int size, int timeoutMs);
// Sends every byte; false when the peer is gone or has taken nothing for
// kSocketSendTimeoutMs (a peer that stops reading never blocks us for good).
constexpr int kSocketSendTimeoutMs = 20000;
bool SendAll(Socket* socket, const void* data, size_t size);
// Waits up to timeoutMs until a or b (either may be null) has something to
// read or was closed: bit 1 for a, bit 2 for b; 0 on time-out, -1 on failure.
int WaitReadable(Socket* a, Socket* b, int timeoutMs);
// Ends our sending direction; the peer sees the end of the data.
void ShutdownSend(Socket* socket);
void CloseSocket(Socket* socket);

}  // namespace plat
