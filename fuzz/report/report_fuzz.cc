// Fuzzed status records and robot answers go into a report, and a small
// multipart reader of its own (independent of the builder) takes the body
// apart again: the parts Version, Log and Robot must come back byte for byte,
// whatever the robot said, and the body must be exactly as long as reported.
//
// Input: two bytes give the length of the records' part; each record is a
// status byte (and, for HttpError and LocalError, four bytes of LastError);
// a status byte of 8 or more writes a failed-download record instead. The
// rest is what the robot answered. A third byte asks for the answer to be
// repeated past the 64 KiB of a normal report, or for the body's allocation
// to fail.
//
// The boundary comes from a fixed sequence and the robot's bytes are
// arbitrary, so the boundary may well stand inside a part: the maker's
// servers cut each part by its Content-Length, and so does the reader here.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_sandbox.h"
#include "platform/memory.h"
#include "script/report.h"
#include "script/run_state.h"
#include "script/server_run.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "report_fuzz: %s\n", what);
    std::abort();
  }
}

struct Part {
  std::string name;
  std::string data;
};

// Reads one "Name: value" line at *at (CR LF ended); false at the empty line.
bool HeaderLine(const std::string& body, size_t* at, std::string* name, std::string* value) {
  size_t end = body.find("\r\n", *at);
  Check(end != std::string::npos, "a header line without its end");
  std::string line = body.substr(*at, end - *at);
  *at = end + 2;
  if (line.empty()) return false;
  size_t colon = line.find(':');
  Check(colon != std::string::npos, "a header line without a colon");
  *name = line.substr(0, colon);
  *value = line.substr(colon + 1);
  while (!value->empty() && (*value)[0] == ' ') value->erase(0, 1);
  return true;
}

// The body as multipart/form-data cut by each part's Content-Length.
std::vector<Part> ReadMultipart(const std::string& boundary, const std::string& body) {
  std::vector<Part> parts;
  const std::string dashes = "--" + boundary;
  size_t at = 0;
  Check(body.compare(0, dashes.size() + 2, dashes + "\r\n") == 0, "the body does not open with its boundary");
  at = dashes.size() + 2;
  for (;;) {
    Part part;
    long length = -1;
    std::string name, value;
    while (HeaderLine(body, &at, &name, &value)) {
      if (name == "Content-Disposition") {
        const std::string prefix = "form-data; name=\"";
        Check(value.compare(0, prefix.size(), prefix) == 0 && value.back() == '"', "an odd disposition");
        part.name = value.substr(prefix.size(), value.size() - prefix.size() - 1);
      } else if (name == "Content-Length") {
        Check(!value.empty() && value.find_first_not_of("0123456789") == std::string::npos,
              "a length that is not a number");
        length = std::strtol(value.c_str(), nullptr, 10);
      } else {
        Check((name == "Content-Type" && value == "text/plain") ||
                  (name == "Content-Transfer-Encoding" && value == "binary"),
              "an unexpected part header");
      }
    }
    Check(length >= 0 && at + static_cast<size_t>(length) <= body.size(), "a part's length runs off the body");
    part.data = body.substr(at, static_cast<size_t>(length));
    at += static_cast<size_t>(length);
    Check(body.compare(at, 2 + dashes.size(), "\r\n" + dashes) == 0, "a part not followed by the boundary");
    at += 2 + dashes.size();
    parts.push_back(part);
    if (body.compare(at, 4, "--\r\n") == 0) {
      Check(at + 4 == body.size(), "bytes after the closing boundary");
      return parts;
    }
    Check(body.compare(at, 2, "\r\n") == 0, "a boundary line with something after it");
    at += 2;
  }
}

void Append(ByteBuffer* buffer, const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    if (BufferFree(*buffer) <= kBufferLowWater && !GrowBuffer(buffer)) std::abort();
    size_t n = std::min(bytes.size() - at, static_cast<size_t>(BufferFree(*buffer)));
    std::memcpy(buffer->position, bytes.data() + at, n);
    buffer->position += n;
    at += n;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The builder touches no file, but nothing here may reach the real home either.
  fuzz_sandbox::Enter();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  size_t logBytes = (static_cast<size_t>(data[0]) | static_cast<size_t>(data[1]) << 8) % (size - 2);
  uint8_t mode = data[2];
  const uint8_t* p = data + 3;
  const uint8_t* logEnd = p + std::min(logBytes, size - 3);

  while (p < logEnd) {
    uint8_t status = *p++;
    if (status >= 8) {
      RecordDownloadFailure(static_cast<int>(status) * 7 - 60);
      continue;
    }
    CommandStatus s = static_cast<CommandStatus>(status);
    if ((s == CommandStatus::HttpError || s == CommandStatus::LocalError) && logEnd - p >= 4) {
      uint32_t v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                   static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
      LastError = static_cast<int32_t>(v);
      p += 4;
    }
    AppendStatusRecord(s);
  }
  std::string robot(reinterpret_cast<const char*>(logEnd), static_cast<size_t>(data + size - logEnd));
  if ((mode & 3) == 3 && !robot.empty()) {
    std::string once = robot;
    while (robot.size() < 70000) robot += once;
  }
  Append(&RobotDataBuffer, robot);
  const std::string log(StatusLogBuffer.begin ? StatusLogBuffer.begin : "", BufferUsed(StatusLogBuffer));

  if (mode == 0x80) plat::FailNthAllocation(1);
  ResultReport report;
  bool built = BuildResultReport(&report);
  plat::FailNthAllocation(0);
  Check(built == (mode != 0x80), "the body's storage was or wasn't had against the odds");

  // Whatever happened, the buffers hold what they held.
  Check(log == std::string(StatusLogBuffer.begin ? StatusLogBuffer.begin : "", BufferUsed(StatusLogBuffer)),
        "building the report changed the Log data");
  Check(robot == std::string(RobotDataBuffer.begin ? RobotDataBuffer.begin : "", BufferUsed(RobotDataBuffer)),
        "building the report changed the Robot data");

  if (built) {
    std::string boundary = report.boundary;
    Check(boundary.size() == 10 && boundary.compare(0, 5, "K3LV0") == 0 &&
              boundary.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ", 5) == std::string::npos,
          "an odd boundary");
    Check(std::string(report.contentType) == "multipart/form-data, boundary=" + boundary, "an odd content type");
    Check(report.size > 0, "an empty body");
    size_t storage = report.size < kReportStorage ? kReportStorage : static_cast<size_t>(report.size) + 1;
    // The storage is there to its last byte, which is zero.
    Check(report.body[storage - 1] == '\0', "the body's storage does not end with a zero");
    std::string body(report.body, static_cast<size_t>(report.size));
    auto parts = ReadMultipart(boundary, body);
    Check(parts.size() == 3, "not three parts");
    Check(parts[0].name == "Version" && parts[0].data == UpgraderVersion, "the Version part");
    Check(parts[1].name == "Log" && parts[1].data == log, "the Log part does not come back byte for byte");
    Check(parts[2].name == "Robot" && parts[2].data == robot, "the Robot part does not come back byte for byte");
    ReleaseResultReport(&report);
  }
  ReleaseBuffer(&StatusLogBuffer);
  ReleaseBuffer(&RobotDataBuffer);
  return 0;
}
