#include "script/report.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/memory.h"
#include "script/run_state.h"

const char UpgraderVersion[] = "KelvoUpgrader 1.1.18710";

uint32_t ReportRandomState = 1;

int ReportRandom() {
  ReportRandomState = ReportRandomState * 214013u + 2531011u;
  return static_cast<int>((ReportRandomState >> 16) & 0x7FFF);
}

namespace {
const char kDisposition[] = "Content-Disposition: form-data; name=";
const char kPlainText[] = "Content-Type: text/plain";
const char kBinary[] = "Content-Transfer-Encoding: binary";

std::string PartHead(const char* boundary, const char* name, int32_t length) {
  char head[512];
  std::snprintf(head, sizeof head, "--%s\r\n%s\"%s\"\r\n%s\r\n%s\r\nContent-Length: %d\r\n\r\n",
                boundary, kDisposition, name, kPlainText, kBinary, length);
  return head;
}

// Whether the buffer's bytes hold the text anywhere.
bool Holds(const ByteBuffer& buffer, const char* text) {
  if (!buffer.begin) return false;
  std::string_view data(buffer.begin, static_cast<size_t>(BufferUsed(buffer)));
  return data.find(text) != std::string_view::npos;
}

// Redraws of the boundary before a report is given up: the data would have
// to hold this many different boundaries, megabytes of them.
constexpr int kMaxBoundaryDraws = 1 << 20;
}  // namespace

bool BuildResultReport(ResultReport* report) {
  // A receiver cuts the parts at the boundary, so it must not stand inside
  // the data: the robot's answer could otherwise end its part early and
  // forge the parts after it. Almost always the first boundary drawn is
  // free; when the data hold it, the next five draws make another.
  for (int attempt = 0;; ++attempt) {
    int draws[5];
    for (int& d : draws) d = ReportRandom();
    std::snprintf(report->boundary, sizeof report->boundary, "K3LV0%c%c%c%c%c",
                  'A' + draws[4] % 26, 'A' + draws[3] % 26, 'A' + draws[2] % 26,
                  'A' + draws[1] % 26, 'A' + draws[0] % 26);
    if (!Holds(StatusLogBuffer, report->boundary) && !Holds(RobotDataBuffer, report->boundary)) break;
    if (attempt + 1 >= kMaxBoundaryDraws) return false;
  }
  std::snprintf(report->contentType, sizeof report->contentType,
                "multipart/form-data, boundary=%.97s", report->boundary);

  int32_t logBytes = BufferUsed(StatusLogBuffer);
  int32_t robotBytes = BufferUsed(RobotDataBuffer);

  // The data parts are copied in as they are (zero bytes, '%' and all), so the
  // text around them is laid out in pieces rather than by one format.
  std::string head = PartHead(report->boundary, "Version", 23) + UpgraderVersion + "\r\n" +
                     PartHead(report->boundary, "Log", logBytes);
  std::string middle = "\r\n" + PartHead(report->boundary, "Robot", robotBytes);
  std::string tail = "\r\n--" + std::string(report->boundary) + "--\r\n";

  int64_t size = static_cast<int64_t>(head.size()) + logBytes + static_cast<int64_t>(middle.size()) +
                 robotBytes + static_cast<int64_t>(tail.size());
  // Reports that fit keep the fixed 64 KiB storage; a larger one gets what it
  // needs, since cutting it would lose what the robot said.
  int64_t storage = size < kReportStorage ? kReportStorage : size + 1;
  if (storage > 0x7FFFFFFF) return false;

  char* body = static_cast<char*>(plat::Alloc(static_cast<size_t>(storage)));
  if (!body) return false;
  std::memset(body, 0, static_cast<size_t>(storage));

  char* at = body;
  std::memcpy(at, head.data(), head.size());
  at += head.size();
  if (StatusLogBuffer.begin) std::memcpy(at, StatusLogBuffer.begin, static_cast<size_t>(logBytes));
  at += logBytes;
  std::memcpy(at, middle.data(), middle.size());
  at += middle.size();
  if (RobotDataBuffer.begin) std::memcpy(at, RobotDataBuffer.begin, static_cast<size_t>(robotBytes));
  at += robotBytes;
  std::memcpy(at, tail.data(), tail.size());

  body[storage - 1] = '\0';
  report->body = body;
  report->size = static_cast<int32_t>(size);
  return true;
}

void ReleaseResultReport(ResultReport* report) {
  plat::Free(report->body);
  report->body = nullptr;
  report->size = 0;
}
