// The loopback test server as a command line tool:
//   test_server [--seconds N] [--serve URL FILE]... [--status URL CODE]...
// prints "port N" and "proxy http://127.0.0.1:N", then serves until its time
// is up (default 60 s, at most one hour).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <chrono>
#include <utility>
#include <vector>
#include "test_server.h"

int main(int argc, char** argv) {
  int seconds = 60;
  test_server::Limits limits;
  std::vector<std::pair<std::string, test_server::Answer>> answers;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
      if (seconds < 1 || seconds > 3600) seconds = 60;
    } else if (arg == "--serve" && i + 2 < argc) {
      test_server::Answer answer;
      if (!test_server::ReadWholeFile(argv[i + 2], &answer.body)) {
        std::fprintf(stderr, "cannot read %s\n", argv[i + 2]);
        return 2;
      }
      answers.emplace_back(argv[i + 1], answer);
      i += 2;
    } else if (arg == "--status" && i + 2 < argc) {
      test_server::Answer answer;
      answer.status = std::atoi(argv[i + 2]);
      answers.emplace_back(argv[i + 1], answer);
      i += 2;
    } else {
      std::fprintf(stderr, "usage: test_server [--seconds N] [--serve URL FILE]... [--status URL CODE]...\n");
      return 2;
    }
  }
  limits.lifetimeMs = seconds * 1000;
  test_server::Server server(limits);
  for (const auto& a : answers) server.SetAnswer(a.first, a.second);
  if (!server.Start()) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
    return 1;
  }
  std::printf("port %u\nproxy %s\n", static_cast<unsigned>(server.port()), server.ProxyUrl().c_str());
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  server.Stop();
  std::printf("requests %zu\n", server.Requests().size());
  return 0;
}
