// A stand-in for the maker's web server, on top of the loopback test server:
// it serves update scripts by URL, receives the updater's reports, decodes
// their multipart body into the Version, Log and Robot parts, and answers
// each report with a scripted reply (an empty 200, a follow-up script, an
// error status). Loopback only, bounded in time, stops by itself.
#pragma once
#include <string>
#include <vector>

#include "test_server/test_server.h"

namespace maker_server {

struct Report {
  bool decoded = false;
  std::string problem;      // why decoding failed
  std::string contentType;  // the request's Content-Type header as sent
  std::string boundary;
  std::string version;
  std::string log;
  std::string robot;
  std::string body;         // the raw body, byte for byte
};

// Decodes a report body. The updater writes each part's Content-Length, so
// the parts are cut by length, which keeps zero bytes and stray boundaries
// inside the robot's answer intact; the closing boundary must follow.
Report DecodeReport(const std::string& contentType, const std::string& body);

// A reply to a report.
test_server::Answer EmptyReply();                         // 200, Content-Length 0
test_server::Answer ScriptReply(const std::string& script);  // 200 and the script
test_server::Answer StatusReply(int status);              // that status, no script

// The reports POSTed to reportUrl so far, in order.
std::vector<Report> ReportsTo(const test_server::Server& server, const std::string& reportUrl);

}  // namespace maker_server
