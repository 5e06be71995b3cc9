// Fuzzed status records and robot answers go into a report, and a multipart
// reader of its own (independent of the builder) takes the body apart again
// as any receiver would: the boundary taken from the Content-Type, each part
// cut where CR LF "--" and the boundary begin. The parts Version, Log and
// Robot must come back byte for byte whatever the robot said, the boundary
// itself included, and each part's Content-Length must agree with the cut.
//
// Input: two bytes give the length of the records' part; each record is a
// status byte (and, for HttpError and LocalError, four bytes of LastError);
// a status byte of 8 or more writes a failed-download record instead. The
// rest is what the robot answered. A third byte asks for the answer to be
// repeated past the 64 KiB of a normal report, or for the body's allocation
// to fail, and how many reports the process made before this one.
#include <algorithm>
#include <cctype>
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

// The boundary parameter of a multipart Content-Type value: after the media
// type, parameters stand behind ';' (the program writes ','), each
// "name=value" or "name=\"quoted value\"", the name in any letter case.
std::string BoundaryOf(const std::string& contentType) {
  size_t at = contentType.find_first_of(";,");
  Check(at != std::string::npos, "a content type without parameters");
  std::string media = contentType.substr(0, at);
  for (char& c : media) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  Check(media == "multipart/form-data", "not multipart/form-data");
  while (at < contentType.size()) {
    ++at;
    while (at < contentType.size() && contentType[at] == ' ') ++at;
    size_t eq = contentType.find('=', at);
    Check(eq != std::string::npos, "a parameter without '='");
    std::string name = contentType.substr(at, eq - at);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string value;
    at = eq + 1;
    if (at < contentType.size() && contentType[at] == '"') {
      size_t close = contentType.find('"', at + 1);
      Check(close != std::string::npos, "an unclosed quoted parameter");
      value = contentType.substr(at + 1, close - at - 1);
      at = close + 1;
    } else {
      size_t next = contentType.find_first_of(";,", at);
      value = contentType.substr(at, next == std::string::npos ? std::string::npos : next - at);
      at = next == std::string::npos ? contentType.size() : next;
    }
    if (name == "boundary") {
      Check(!value.empty() && value.size() <= 70, "a boundary of a length multipart does not allow");
      return value;
    }
  }
  Check(false, "no boundary parameter");
  return std::string();
}

// The body cut as a multipart reader cuts it: a part ends where CR LF "--"
// and the boundary begin, and nothing else (no length) says where. The
// delimiter after a part is followed by "--" (the close) or by CR LF (the
// next part); a part's head ends at its first empty line.
std::vector<Part> ReadMultipart(const std::string& boundary, const std::string& body) {
  std::vector<Part> parts;
  const std::string delimiter = "\r\n--" + boundary;
  // The first delimiter stands at the body's start, without a line end before it.
  Check(body.compare(0, delimiter.size() - 2, delimiter, 2, std::string::npos) == 0,
        "the body does not open with its boundary");
  size_t at = delimiter.size() - 2;
  for (;;) {
    if (body.compare(at, 2, "--") == 0) {
      // The close delimiter: only its line end may follow.
      Check(body.compare(at + 2, std::string::npos, "\r\n") == 0, "bytes after the closing boundary");
      return parts;
    }
    Check(body.compare(at, 2, "\r\n") == 0, "a boundary line with something after it");
    at += 2;
    size_t headEnd = body.find("\r\n\r\n", at);
    size_t next = body.find(delimiter, at);
    Check(next != std::string::npos, "a part that no boundary ends");
    Check(headEnd != std::string::npos && headEnd + 2 <= next, "a part without the empty line after its head");
    Part part;
    long length = -1;
    std::string head = body.substr(at, headEnd - at);
    for (size_t line = 0; line <= head.size();) {
      size_t lineEnd = std::min(head.find("\r\n", line), head.size());
      std::string text = head.substr(line, lineEnd - line);
      line = lineEnd + 2;
      size_t colon = text.find(':');
      Check(colon != std::string::npos, "a head line without a colon");
      std::string name = text.substr(0, colon);
      std::string value = text.substr(colon + 1);
      while (!value.empty() && value[0] == ' ') value.erase(0, 1);
      if (name == "Content-Disposition") {
        const std::string prefix = "form-data; name=\"";
        Check(value.compare(0, prefix.size(), prefix) == 0 && value.size() > prefix.size() && value.back() == '"',
              "an odd disposition");
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
    // The data run from after the empty line to the delimiter (an empty
    // part's data start at the delimiter's own CR LF).
    size_t dataStart = headEnd + 4;
    part.data = dataStart <= next ? body.substr(dataStart, next - dataStart) : std::string();
    Check(dataStart <= next || headEnd + 2 == next, "a part's head runs into its delimiter");
    // What the part says of its length agrees with where the boundary cut it.
    Check(length >= 0 && static_cast<size_t>(length) == part.data.size(),
          "a part's Content-Length is not what the boundary cut");
    parts.push_back(part);
    at = next + delimiter.size();
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
  // Every input starts from a process's first boundary (as a crash must
  // repeat from its input alone), then skips as many reports as bits 2-4 say.
  ReportRandomState = 1;
  for (int i = 0; i < ((mode >> 2) & 7) * 5; ++i) ReportRandom();
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
    auto parts = ReadMultipart(BoundaryOf(report.contentType), body);
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
