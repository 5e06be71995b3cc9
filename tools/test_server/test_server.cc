#include "test_server.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/socket.h"
#include "platform/spawn.h"

namespace test_server {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr size_t kMaxHead = 64 * 1024;
constexpr size_t kMaxRequestBody = 64 * 1024 * 1024;
constexpr int kPollMs = 50;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(start, end - start + 1);
}

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    default: return "Status";
  }
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* bytes) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes->append(buffer, n);
  std::fclose(f);
  return true;
}

std::string NormalizeUrl(const std::string& url) {
  size_t schemeEnd = url.find("://");
  if (schemeEnd == std::string::npos) return url;
  std::string scheme = Lower(url.substr(0, schemeEnd));
  size_t hostStart = schemeEnd + 3;
  size_t pathStart = url.find('/', hostStart);
  std::string authority = Lower(url.substr(hostStart, pathStart == std::string::npos ? std::string::npos
                                                                                      : pathStart - hostStart));
  std::string path = pathStart == std::string::npos ? "/" : url.substr(pathStart);
  if ((scheme == "http" && authority.size() > 3 && authority.compare(authority.size() - 3, 3, ":80") == 0) ||
      (scheme == "https" && authority.size() > 4 && authority.compare(authority.size() - 4, 4, ":443") == 0)) {
    authority.erase(authority.rfind(':'));
  }
  return scheme + "://" + authority + path;
}

std::string Request::Header(const std::string& name) const {
  std::string wanted = Lower(name);
  for (const auto& h : headers) {
    if (Lower(h.first) == wanted) return h.second;
  }
  return std::string();
}

int Request::HeaderCount(const std::string& name) const {
  std::string wanted = Lower(name);
  int count = 0;
  for (const auto& h : headers) count += Lower(h.first) == wanted ? 1 : 0;
  return count;
}

struct Server::State {
  Limits limits;
  plat::Socket* listener = nullptr;
  uint16_t port = 0;
  std::atomic<bool> stopping{false};
  SteadyClock::time_point deadline;
  std::thread acceptor;

  mutable std::mutex mutex;
  // Each URL answers from its queue in order; the last answer stays.
  std::map<std::string, std::deque<Answer>> answers;
  std::map<std::string, uint16_t> tunnels;
  std::vector<Request> requests;
  std::vector<std::string> tunnelsAsked;
  std::vector<std::thread> workers;

  bool Expired() const { return stopping || SteadyClock::now() >= deadline; }

  // Waits up to ms, in small steps, unless the server is stopping.
  void Pause(int ms) const {
    auto until = SteadyClock::now() + std::chrono::milliseconds(ms);
    while (!Expired() && SteadyClock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, kPollMs)));
    }
  }

  // Receives into data until it holds at least want bytes; false when the
  // client closed, went silent for the I/O time-out, or the server stops.
  bool ReceiveUntil(plat::Socket* client, std::string* data, size_t want) const {
    auto lastData = SteadyClock::now();
    char buffer[16384];
    while (data->size() < want) {
      if (Expired()) return false;
      int n = plat::ReceiveSome(client, buffer, sizeof buffer, kPollMs);
      if (n == plat::kSocketTimedOut) {
        if (SteadyClock::now() - lastData > std::chrono::milliseconds(limits.ioTimeoutMs)) return false;
        continue;
      }
      if (n <= 0) return false;
      data->append(buffer, static_cast<size_t>(n));
      lastData = SteadyClock::now();
    }
    return true;
  }

  bool ReadHead(plat::Socket* client, std::string* data, size_t* headEnd) const {
    for (;;) {
      size_t end = data->find("\r\n\r\n");
      if (end != std::string::npos) {
        *headEnd = end + 4;
        return true;
      }
      if (data->size() > kMaxHead) return false;
      if (!ReceiveUntil(client, data, data->size() + 1)) return false;
    }
  }

  // A chunked request body, decoded; false when it is malformed or too large.
  bool ReadChunked(plat::Socket* client, std::string* data, size_t start, std::string* body) const {
    size_t at = start;
    for (int chunks = 0; chunks < 100000; ++chunks) {
      size_t lineEnd;
      while ((lineEnd = data->find("\r\n", at)) == std::string::npos) {
        if (!ReceiveUntil(client, data, data->size() + 1)) return false;
      }
      size_t size = std::strtoul(data->c_str() + at, nullptr, 16);
      at = lineEnd + 2;
      if (body->size() + size > kMaxRequestBody) return false;
      if (!ReceiveUntil(client, data, at + size + 2)) return false;
      if (size == 0) return true;
      body->append(*data, at, size);
      at += size + 2;
    }
    return false;
  }

  void Serve(plat::Socket* client) {
    std::string data;
    size_t headEnd = 0;
    if (!ReadHead(client, &data, &headEnd)) return;
    Request request;
    request.head = data.substr(0, headEnd);
    size_t lineEnd = request.head.find("\r\n");
    std::string requestLine = request.head.substr(0, lineEnd);
    size_t firstBlank = requestLine.find(' ');
    size_t secondBlank = requestLine.find(' ', firstBlank + 1);
    if (firstBlank == std::string::npos || secondBlank == std::string::npos) return;
    request.method = requestLine.substr(0, firstBlank);
    request.target = requestLine.substr(firstBlank + 1, secondBlank - firstBlank - 1);
    size_t at = lineEnd + 2;
    while (at < headEnd - 2) {
      size_t end = request.head.find("\r\n", at);
      std::string line = request.head.substr(at, end - at);
      size_t colon = line.find(':');
      if (colon != std::string::npos) {
        request.headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
      }
      at = end + 2;
    }

    if (request.method == "CONNECT") {
      Tunnel(client, request);
      return;
    }

    std::string lengthText = request.Header("Content-Length");
    if (Lower(request.Header("Transfer-Encoding")) == "chunked") {
      if (!ReadChunked(client, &data, headEnd, &request.body)) return;
    } else if (!lengthText.empty()) {
      size_t length = std::strtoul(lengthText.c_str(), nullptr, 10);
      if (length > kMaxRequestBody) return;
      if (!ReceiveUntil(client, &data, headEnd + length)) return;
      request.body = data.substr(headEnd, length);
    }
    request.url = request.target.find("://") != std::string::npos
                      ? NormalizeUrl(request.target)
                      : NormalizeUrl("http://" + request.Header("Host") + request.target);

    Answer answer;
    bool known = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      requests.push_back(request);
      auto it = answers.find(request.url);
      if (it != answers.end() && !it->second.empty()) {
        answer = it->second.front();
        if (it->second.size() > 1) it->second.pop_front();
        known = true;
      }
    }
    if (!known) {
      answer.status = 404;
      answer.body = "not found\n";
    }
    Reply(client, answer);
  }

  void Reply(plat::Socket* client, const Answer& answer) {
    if (answer.delayMs > 0) Pause(answer.delayMs);
    if (Expired()) return;
    static const char kInterim[] = "HTTP/1.1 100 Continue\r\n\r\n";
    for (int i = 0; i < answer.interimAnswers && !Expired(); ++i) {
      if (!plat::SendAll(client, kInterim, sizeof kInterim - 1)) return;
      Pause(answer.interimEveryMs);
    }
    if (Expired()) return;
    std::string head = "HTTP/1.1 " + std::to_string(answer.status) + " " + Reason(answer.status) + "\r\n";
    if (answer.length == Answer::Length::Custom) {
      head += "Content-Length: " + answer.lengthText + "\r\n";
    } else if (answer.length == Answer::Length::Actual && !answer.chunked) {
      head += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
    }
    if (answer.chunked) head += "Transfer-Encoding: chunked\r\n";
    for (const std::string& h : answer.headers) head += h + "\r\n";
    head += "Connection: close\r\n\r\n";
    if (!plat::SendAll(client, head.data(), head.size())) return;
    if (answer.stallMs > 0 && answer.stallAfterBodyBytes < 0) Pause(answer.stallMs);
    if (Expired()) return;

    std::string body = answer.body;
    if (answer.stallAfterBodyBytes >= 0 && !answer.chunked) {
      size_t first = std::min(body.size(), static_cast<size_t>(answer.stallAfterBodyBytes));
      if (!plat::SendAll(client, body.data(), first)) return;
      Pause(answer.stallMs);
      body.erase(0, first);
    }
    if (answer.trickleMs > 0 && !answer.chunked) {
      for (size_t i = 0; i < body.size() && !Expired(); ++i) {
        if (!plat::SendAll(client, body.data() + i, 1)) return;
        Pause(answer.trickleMs);
      }
      return;
    }
    if (answer.closeAfterBodyBytes >= 0 && static_cast<size_t>(answer.closeAfterBodyBytes) < body.size()) {
      body.resize(static_cast<size_t>(answer.closeAfterBodyBytes));
    }
    if (answer.chunked) {
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", body.size());
      std::string chunk = body.empty() ? std::string() : size + body + "\r\n";
      if (answer.closeAfterBodyBytes < 0) chunk += "0\r\n\r\n";
      plat::SendAll(client, chunk.data(), chunk.size());
    } else {
      plat::SendAll(client, body.data(), body.size());
    }
  }

  void Tunnel(plat::Socket* client, const Request& request) {
    uint16_t targetPort = 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      tunnelsAsked.push_back(request.target);
      auto it = tunnels.find(Lower(request.target));
      if (it != tunnels.end()) targetPort = it->second;
    }
    plat::Socket* upstream = nullptr;
    // The endpoint may still be starting: retry for a few seconds.
    for (int attempt = 0; targetPort && !upstream && attempt < 100 && !Expired(); ++attempt) {
      upstream = plat::ConnectLoopback(targetPort);
      if (!upstream) Pause(kPollMs);
    }
    if (!upstream) {
      static const char kRefused[] = "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      plat::SendAll(client, kRefused, sizeof kRefused - 1);
      return;
    }
    static const char kEstablished[] = "HTTP/1.1 200 Connection established\r\n\r\n";
    if (plat::SendAll(client, kEstablished, sizeof kEstablished - 1)) {
      char buffer[16384];
      auto lastData = SteadyClock::now();
      while (!Expired() && SteadyClock::now() - lastData < std::chrono::milliseconds(limits.ioTimeoutMs)) {
        int ready = plat::WaitReadable(client, upstream, kPollMs);
        if (ready < 0) break;
        if (ready == 0) continue;
        plat::Socket* from = (ready & 1) ? client : upstream;
        plat::Socket* to = (ready & 1) ? upstream : client;
        int n = plat::ReceiveSome(from, buffer, sizeof buffer, 0);
        if (n <= 0 || !plat::SendAll(to, buffer, static_cast<size_t>(n))) break;
        lastData = SteadyClock::now();
      }
    }
    plat::CloseSocket(upstream);
  }

  // Ends a connection gracefully: our side first, then whatever the client
  // still sends is read away (briefly), so the client sees an orderly end
  // rather than a reset that could destroy data it hasn't read yet.
  void Finish(plat::Socket* client) const {
    plat::ShutdownSend(client);
    char buffer[4096];
    auto until = SteadyClock::now() + std::chrono::milliseconds(2000);
    while (SteadyClock::now() < until) {
      int n = plat::ReceiveSome(client, buffer, sizeof buffer, kPollMs);
      if (n == 0 || n == plat::kSocketFailed) break;
    }
    plat::CloseSocket(client);
  }

  void AcceptLoop() {
    int connections = 0;
    while (!Expired() && connections < limits.maxConnections) {
      plat::Socket* client = plat::AcceptConnection(listener, kPollMs);
      if (!client) continue;
      ++connections;
      std::lock_guard<std::mutex> lock(mutex);
      workers.emplace_back([this, client] {
        Serve(client);
        Finish(client);
      });
    }
  }
};

Server::Server(Limits limits) : state_(new State) { state_->limits = limits; }

Server::~Server() { Stop(); }

bool Server::Start() {
  uint16_t port = 0;
  state_->listener = plat::ListenLoopback(&port);
  if (!state_->listener) return false;
  state_->port = port;
  state_->deadline = SteadyClock::now() + std::chrono::milliseconds(state_->limits.lifetimeMs);
  state_->acceptor = std::thread([this] { state_->AcceptLoop(); });
  return true;
}

void Server::Stop() {
  if (!state_->listener) return;
  state_->stopping = true;
  if (state_->acceptor.joinable()) state_->acceptor.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    workers.swap(state_->workers);
  }
  for (std::thread& t : workers) t.join();
  plat::CloseSocket(state_->listener);
  state_->listener = nullptr;
}

uint16_t Server::port() const { return state_->port; }

std::string Server::ProxyUrl() const { return "http://127.0.0.1:" + std::to_string(state_->port); }

void Server::SetAnswer(const std::string& url, const Answer& answer) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->answers[NormalizeUrl(url)] = std::deque<Answer>{answer};
}

void Server::SetAnswers(const std::string& url, const std::vector<Answer>& answers) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->answers[NormalizeUrl(url)] = std::deque<Answer>(answers.begin(), answers.end());
}

void Server::SetTunnel(const std::string& authority, uint16_t loopbackPort) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->tunnels[Lower(authority)] = loopbackPort;
}

void Server::Reset() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->answers.clear();
  state_->tunnels.clear();
  state_->requests.clear();
  state_->tunnelsAsked.clear();
}

std::vector<Request> Server::Requests() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->requests;
}

std::vector<std::string> Server::Tunnels() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->tunnelsAsked;
}

bool StartTlsEndpoint(const std::string& opensslPath, const std::string& timeoutPath,
                      const std::string& commonName, int lifetimeSeconds, TlsEndpoint* endpoint) {
  // A free port: taken, noted, and given back for s_server to take.
  uint16_t port = 0;
  plat::Socket* probe = plat::ListenLoopback(&port);
  if (!probe) return false;
  plat::CloseSocket(probe);
  endpoint->port = port;
  std::string stem = "kelvo-tls-" + std::to_string(port);
  endpoint->keyFile = stem + "-key.pem";
  endpoint->certFile = stem + "-cert.pem";
  std::remove(endpoint->certFile.c_str());

  plat::SpawnOptions make;
  make.captureOutput = false;
  make.args = {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
               "-days", "1", "-subj", "/CN=" + commonName, "-keyout", endpoint->keyFile,
               "-out", endpoint->certFile};
  endpoint->maker = plat::StartProcess(opensslPath, make);
  if (!endpoint->maker) return false;
  bool ready = false;
  auto until = SteadyClock::now() + std::chrono::seconds(30);
  while (!ready && SteadyClock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    std::FILE* f = std::fopen(endpoint->certFile.c_str(), "rb");
    if (!f) continue;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    std::fclose(f);
    ready = text.find("-----END CERTIFICATE-----") != std::string::npos;
  }
  if (!ready) return false;

  plat::SpawnOptions serve;
  serve.captureOutput = false;
  serve.args = {std::to_string(lifetimeSeconds), opensslPath, "s_server", "-quiet", "-naccept", "1",
                "-accept", "127.0.0.1:" + std::to_string(port), "-cert", endpoint->certFile,
                "-key", endpoint->keyFile};
  endpoint->server = plat::StartProcess(timeoutPath, serve);
  return endpoint->server != nullptr;
}

void StopTlsEndpoint(TlsEndpoint* endpoint) {
  // A connection uses up the server's one, after which it ends by itself;
  // killing `timeout` instead would leave s_server behind, waiting.
  for (int attempt = 0; endpoint->server && attempt < 20; ++attempt) {
    int exitCode = 0;
    if (plat::WaitProcess(endpoint->server, 0, &exitCode)) break;
    if (plat::Socket* poke = plat::ConnectLoopback(endpoint->port)) {
      plat::CloseSocket(poke);
      plat::WaitProcess(endpoint->server, 3000, &exitCode);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  if (endpoint->server) plat::ReleaseProcess(endpoint->server);
  if (endpoint->maker) plat::ReleaseProcess(endpoint->maker);
  endpoint->server = nullptr;
  endpoint->maker = nullptr;
  if (!endpoint->keyFile.empty()) std::remove(endpoint->keyFile.c_str());
  if (!endpoint->certFile.empty()) std::remove(endpoint->certFile.c_str());
}

}  // namespace test_server
