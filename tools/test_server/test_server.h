// A loopback HTTP server for tests and tools, that is also a forward proxy:
// clients set http_proxy=http://127.0.0.1:PORT and ask for allow-listed URLs
// such as http://updates.kelvo.com/s.txt; the server answers each URL as
// scripted, including the malformed answers a real server would not give
// (wrong or missing lengths, early close, silence). CONNECT is tunnelled only
// to loopback ports named beforehand. Every request is recorded.
//
// Bounded: binds 127.0.0.1 only, stops by itself after its lifetime or its
// connection count, and every wait on a client has a time-out.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace plat {
struct SpawnedProcess;
}

namespace test_server {

struct Answer {
  int status = 200;
  std::string body;
  // Content-Length: the body's size, none at all, or lengthText as written.
  enum class Length { Actual, None, Custom };
  Length length = Length::Actual;
  std::string lengthText;
  // Transfer-Encoding: chunked (no Content-Length unless Custom says so).
  bool chunked = false;
  // Further header lines, "Name: value" (Location, ...).
  std::vector<std::string> headers;
  // Silence before the status line, and between the headers and the body.
  int delayMs = 0;
  int stallMs = 0;
  // When >= 0: only this many body bytes are sent, then the connection ends.
  long closeAfterBodyBytes = -1;
  // When >= 0: this many body bytes are sent, then silence for stallMs
  // (stallMs then no longer applies before the body).
  long stallAfterBodyBytes = -1;
  // Interim answers ("HTTP/1.1 100 Continue") sent this many times, one
  // every interimEveryMs, before the status line.
  int interimAnswers = 0;
  int interimEveryMs = 0;
  // When > 0: the body goes one byte at a time, one every trickleMs.
  int trickleMs = 0;
};

struct Request {
  std::string method;
  std::string target;   // as in the request line
  std::string url;      // absolute: scheme://host[:port]/path?query
  std::string head;     // the request line and headers, exactly as received
  std::vector<std::pair<std::string, std::string>> headers;  // values without leading blanks
  std::string body;

  // The first value of a header (name without regard to letter case), or "".
  std::string Header(const std::string& name) const;
  int HeaderCount(const std::string& name) const;
};

struct Limits {
  int lifetimeMs = 120000;  // the server stops by itself after this
  int maxConnections = 2000;
  int ioTimeoutMs = 15000;  // longest wait on a silent client
};

class Server {
 public:
  explicit Server(Limits limits = Limits());
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Listens on 127.0.0.1 at a free port and serves on its own thread.
  bool Start();
  // Stops serving and waits for every connection's thread.
  void Stop();
  uint16_t port() const;
  // "http://127.0.0.1:PORT", for http_proxy.
  std::string ProxyUrl() const;

  // The answer for an absolute URL (scheme and host in any case; the
  // scheme's default port may be left out). Unknown URLs get 404.
  void SetAnswer(const std::string& url, const Answer& answer);
  // Successive requests for url get these answers in turn; the last one stays.
  void SetAnswers(const std::string& url, const std::vector<Answer>& answers);
  // CONNECT authority (host:port) is tunnelled to 127.0.0.1:loopbackPort.
  void SetTunnel(const std::string& authority, uint16_t loopbackPort);

  // Forgets every answer, tunnel and recorded request.
  void Reset();

  std::vector<Request> Requests() const;
  // CONNECT authorities asked for, in order.
  std::vector<std::string> Tunnels() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// A file's bytes, for answers the command line tools serve from files.
bool ReadWholeFile(const std::string& path, std::string* bytes);

// A URL in the form the server keys answers by.
std::string NormalizeUrl(const std::string& url);

// An HTTPS endpoint with a fresh self-signed certificate for commonName:
// `openssl req` makes it, `openssl s_server` serves it on a free loopback port
// for one connection and at most lifetimeSeconds (through `timeout`). The
// key and certificate are files in the current folder, named relatively:
// a Windows test program under wine shares its current folder with the Linux
// programs it starts, but not its idea of absolute paths, and it cannot wait
// for them either, so the certificate is awaited by looking at the file.
// StopTlsEndpoint ends the server (by using up its one connection) and
// removes the files.
struct TlsEndpoint {
  uint16_t port = 0;
  std::string keyFile;
  std::string certFile;
  plat::SpawnedProcess* maker = nullptr;
  plat::SpawnedProcess* server = nullptr;
};
bool StartTlsEndpoint(const std::string& opensslPath, const std::string& timeoutPath,
                      const std::string& commonName, int lifetimeSeconds, TlsEndpoint* endpoint);
void StopTlsEndpoint(TlsEndpoint* endpoint);

}  // namespace test_server
