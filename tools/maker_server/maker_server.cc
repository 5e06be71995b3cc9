#include "maker_server/maker_server.h"

#include <cstdlib>

namespace maker_server {
namespace {

// Reads one part at pos: "--B" CR LF, headers up to an empty line, then
// Content-Length bytes and CR LF.
bool ReadPart(const std::string& body, const std::string& boundary, size_t* pos,
              std::string* name, std::string* data, std::string* problem) {
  std::string opening = "--" + boundary + "\r\n";
  if (body.compare(*pos, opening.size(), opening) != 0) {
    *problem = "no boundary line at byte " + std::to_string(*pos);
    return false;
  }
  *pos += opening.size();
  size_t headersEnd = body.find("\r\n\r\n", *pos);
  if (headersEnd == std::string::npos) {
    *problem = "part headers never end";
    return false;
  }
  std::string headers = body.substr(*pos, headersEnd - *pos + 2);
  *pos = headersEnd + 4;

  const std::string dispositionKey = "Content-Disposition: form-data; name=\"";
  size_t at = headers.find(dispositionKey);
  if (at == std::string::npos) {
    *problem = "part without a name";
    return false;
  }
  size_t nameStart = at + dispositionKey.size();
  *name = headers.substr(nameStart, headers.find('"', nameStart) - nameStart);

  const std::string lengthKey = "Content-Length: ";
  at = headers.find(lengthKey);
  if (at == std::string::npos) {
    *problem = "part " + *name + " without a length";
    return false;
  }
  long length = std::strtol(headers.c_str() + at + lengthKey.size(), nullptr, 10);
  if (length < 0 || *pos + static_cast<size_t>(length) + 2 > body.size()) {
    *problem = "part " + *name + " is longer than the body";
    return false;
  }
  *data = body.substr(*pos, static_cast<size_t>(length));
  *pos += static_cast<size_t>(length);
  if (body.compare(*pos, 2, "\r\n") != 0) {
    *problem = "part " + *name + " is not followed by CR LF";
    return false;
  }
  *pos += 2;
  return true;
}

}  // namespace

Report DecodeReport(const std::string& contentType, const std::string& body) {
  Report report;
  report.contentType = contentType;
  report.body = body;
  const std::string key = "boundary=";
  size_t at = contentType.find(key);
  if (at == std::string::npos) {
    report.problem = "no boundary in the content type";
    return report;
  }
  report.boundary = contentType.substr(at + key.size());
  size_t pos = 0;
  const char* expected[] = {"Version", "Log", "Robot"};
  std::string* targets[] = {&report.version, &report.log, &report.robot};
  for (int i = 0; i < 3; ++i) {
    std::string name;
    if (!ReadPart(body, report.boundary, &pos, &name, targets[i], &report.problem)) return report;
    if (name != expected[i]) {
      report.problem = "part " + name + " where " + expected[i] + " belongs";
      return report;
    }
  }
  if (body.substr(pos) != "--" + report.boundary + "--\r\n") {
    report.problem = "no closing boundary";
    return report;
  }
  report.decoded = true;
  return report;
}

test_server::Answer EmptyReply() { return test_server::Answer(); }

test_server::Answer ScriptReply(const std::string& script) {
  test_server::Answer answer;
  answer.body = script;
  return answer;
}

test_server::Answer StatusReply(int status) {
  test_server::Answer answer;
  answer.status = status;
  answer.body = "";
  return answer;
}

std::vector<Report> ReportsTo(const test_server::Server& server, const std::string& reportUrl) {
  std::vector<Report> reports;
  std::string url = test_server::NormalizeUrl(reportUrl);
  for (const auto& request : server.Requests()) {
    if (request.method == "POST" && request.url == url) {
      reports.push_back(DecodeReport(request.Header("Content-Type"), request.body));
    }
  }
  return reports;
}

}  // namespace maker_server
