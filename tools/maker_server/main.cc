// The maker's web server stand-in as a command line tool, for the demo and
// for trying the updater by hand:
//
//   maker_server [--seconds N] [--script URL FILE]... [--report URL]
//                [--reply FILE | --reply empty | --reply status:CODE]...
//                [--reports N]
//
// Prints "proxy http://127.0.0.1:PORT" (point http_proxy there), serves each
// script at its URL, answers the reports POSTed to the report URL with the
// replies in turn (the last one repeats; default: empty), and stops once N
// reports have come in, or after its time (default 60 s, at most one hour).
// Then it prints every report it received, decoded.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "maker_server/maker_server.h"

namespace {

// Control bytes shown as a person can read them; line ends kept as lines.
std::string Readable(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    if (c == '\n' || (c >= 0x20 && c < 0x7F)) {
      out.push_back(static_cast<char>(c));
    } else if (c == 0x1A) {
      out += "<end>";
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<%02x>", c);
      out += hex;
    }
  }
  return out;
}

void PrintIndented(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) std::printf("    | %s\n", line.c_str());
}

int Usage() {
  std::fprintf(stderr,
               "usage: maker_server [--seconds N] [--script URL FILE]... [--report URL]\n"
               "                    [--reply FILE|empty|status:CODE]... [--reports N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  int wantedReports = 0;
  std::string reportUrl;
  std::vector<std::pair<std::string, test_server::Answer>> scripts;
  std::vector<test_server::Answer> replies;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
      if (seconds < 1 || seconds > 3600) seconds = 60;
    } else if (arg == "--script" && i + 2 < argc) {
      std::string body;
      if (!test_server::ReadWholeFile(argv[i + 2], &body)) {
        std::fprintf(stderr, "cannot read %s\n", argv[i + 2]);
        return 2;
      }
      scripts.emplace_back(argv[i + 1], maker_server::ScriptReply(body));
      i += 2;
    } else if (arg == "--report" && i + 1 < argc) {
      reportUrl = argv[++i];
    } else if (arg == "--reply" && i + 1 < argc) {
      std::string what = argv[++i];
      if (what == "empty") {
        replies.push_back(maker_server::EmptyReply());
      } else if (what.rfind("status:", 0) == 0) {
        replies.push_back(maker_server::StatusReply(std::atoi(what.c_str() + 7)));
      } else {
        std::string body;
        if (!test_server::ReadWholeFile(what, &body)) {
          std::fprintf(stderr, "cannot read %s\n", what.c_str());
          return 2;
        }
        replies.push_back(maker_server::ScriptReply(body));
      }
    } else if (arg == "--reports" && i + 1 < argc) {
      wantedReports = std::atoi(argv[++i]);
    } else {
      return Usage();
    }
  }

  test_server::Limits limits;
  limits.lifetimeMs = seconds * 1000;
  test_server::Server server(limits);
  for (const auto& s : scripts) server.SetAnswer(s.first, s.second);
  if (!reportUrl.empty()) {
    if (replies.empty()) replies.push_back(maker_server::EmptyReply());
    server.SetAnswers(reportUrl, replies);
  }
  if (!server.Start()) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
    return 1;
  }
  std::printf("proxy %s\n", server.ProxyUrl().c_str());
  std::fflush(stdout);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (wantedReports > 0 &&
        static_cast<int>(maker_server::ReportsTo(server, reportUrl).size()) >= wantedReports) {
      // Let the last reply reach the updater before the server goes.
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  server.Stop();

  for (const auto& request : server.Requests()) {
    std::printf("request %s %s\n", request.method.c_str(), request.url.c_str());
  }
  auto reports = reportUrl.empty() ? std::vector<maker_server::Report>()
                                   : maker_server::ReportsTo(server, reportUrl);
  int number = 0;
  for (const auto& report : reports) {
    std::printf("\n=== report %d (%zu bytes) ===\n", ++number, report.body.size());
    std::printf("Content-Type: %s\n", report.contentType.c_str());
    if (!report.decoded) {
      std::printf("NOT DECODED: %s\n", report.problem.c_str());
      continue;
    }
    std::printf("  Version: %s\n", report.version.c_str());
    std::printf("  Log (%zu bytes):\n", report.log.size());
    PrintIndented(Readable(report.log));
    std::printf("  Robot (%zu bytes):\n", report.robot.size());
    PrintIndented(Readable(report.robot));
  }
  std::printf("\nreports %zu\n", reports.size());
  bool allDecoded = true;
  for (const auto& report : reports) allDecoded = allDecoded && report.decoded;
  return (wantedReports > 0 && static_cast<int>(reports.size()) < wantedReports) || !allDecoded ? 3 : 0;
}
