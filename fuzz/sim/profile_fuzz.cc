// Feeds arbitrary INI files to the reader, through a real file as the
// settings are read. The input's first line names what is asked for,
// "section|key"; the rest is the file. Besides the sanitizers' watch, what
// must hold for any file: answers that fit and are terminated, a cut answer
// that is the start of the whole one, nothing that isn't in the file or the
// default, CR LF reading as LF, the first section and key of a name winning,
// and integers that agree with the text they come from.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_sandbox.h"
#include "log/log.h"
#include "platform/profile.h"
#include "sim/settings.h"

namespace {

std::string g_file;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "profile_fuzz: %s\n", what);
    std::abort();
  }
}

void WriteFile(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
  std::fclose(f);
}

// One read into a heap buffer of exactly size bytes, so that any write past
// it is caught.
std::string Read(const std::string& section, const std::string& key, const char* fallback, uint32_t size) {
  std::vector<char> out(size == 0 ? 1 : size, '\x7f');
  uint32_t n = plat::ReadProfileString(g_file.c_str(), section.c_str(), key.c_str(), fallback,
                                       size == 0 ? nullptr : out.data(), size);
  if (size == 0) {
    Check(n == 0, "a zero-sized buffer got characters");
    return std::string();
  }
  Check(n < size, "the answer does not leave room for its terminator");
  Check(out[n] == '\0', "the answer is not terminated where its length says");
  Check(std::strlen(out.data()) == n, "the length returned is not the text's length");
  return std::string(out.data(), n);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\x1a';
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string Replaced(const std::string& text, const std::string& from, const std::string& to) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (text.compare(i, from.size(), from) == 0) {
      out += to;
      i += from.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

void CheckQueries(const std::string& file, const std::string& section, const std::string& key) {
  WriteFile(g_file, file);
  const uint32_t sizes[] = {0, 1, 2, 5, 30, 255, 300};
  std::string previous;
  std::string whole;
  for (uint32_t size : sizes) {
    std::string value = Read(section, key, "dflt-a", size);
    Check(value.compare(0, previous.size(), previous) == 0, "a cut answer is not the start of a longer one");
    previous = value;
    whole = value;
  }
  Check(whole.find_first_of("\r\n") == std::string::npos, "an answer runs over a line end");
  bool found = Read(section, key, "dflt-b", 300) == whole;
  Check(!found || file.find(whole) != std::string::npos, "an answer that is not in the file");
  Check(found || whole == "dflt-a", "neither the file's value nor the default");

  int32_t a = plat::ReadProfileInt(g_file.c_str(), section.c_str(), key.c_str(), 77);
  int32_t b = plat::ReadProfileInt(g_file.c_str(), section.c_str(), key.c_str(), -5);
  std::string number = Read(section, key, "", 30);
  if (number.empty()) {
    Check(a == 77 && b == -5, "an empty or missing value did not give the default");
  } else {
    Check(a == b, "a present value gave the default");
    bool plain = number.size() <= 9 && number.find_first_not_of("0123456789") == std::string::npos;
    if (plain) Check(a == std::atoi(number.c_str()), "a plain decimal read as another number");
  }

  // CR LF line ends read as LF ones.
  WriteFile(g_file, Replaced(file, "\n", "\r\n"));
  Check(Read(section, key, "dflt-a", 300) == whole, "CR LF line ends changed the answer");

  // A later section or key of the same name never changes a found value.
  if (found) {
    WriteFile(g_file, file + "\n[" + section + "]\n" + key + "=appended\n");
    Check(Read(section, key, "dflt-a", 300) == whole, "a later section or key won");
  }

  // The first section and key of the name win, whatever follows them.
  std::string s = Trim(section), k = Trim(key);
  bool plainNames = !s.empty() && s.find_first_of("\r\n") == std::string::npos &&
                    k.find_first_of("\r\n=") == std::string::npos && (k.empty() || k[0] != '[');
  if (plainNames) {
    WriteFile(g_file, "[" + s + "]\n" + k + "=first\n" + file);
    Check(Read(section, key, "dflt-a", 300) == "first", "the first section's first key did not win");
  }
}

// The routines that read ConfigSettings.ini, on the fuzzed file.
void CheckSettings(const std::string& file) {
  WriteFile(g_file, file);
  IsRobotSimulationOn();
  RobotDetails details = ReadCurrentRobotDetails();
  Check(std::memchr(details.Hardware, '\0', sizeof details.Hardware) != nullptr, "Hardware not terminated");
  Check(std::memchr(details.ModelId, '\0', sizeof details.ModelId) != nullptr, "ModelId not terminated");
  BuildResponseFilesPath(details);
  Check(std::memchr(ResponseFilesPath, '\0', sizeof ResponseFilesPath) != nullptr,
        "ResponseFilesPath not terminated");
  ReadRobotImageSize(details.Hardware);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string& folder = fuzz_sandbox::Enter();
  SetProgramFolderForTesting(folder);
  g_file = folder + "/ConfigSettings.ini";
  LogFilePath[0] = '\0';  // nothing is logged
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t lineEnd = input.find('\n');
  std::string query = input.substr(0, lineEnd);
  std::string file = lineEnd == std::string::npos ? std::string() : input.substr(lineEnd + 1);
  size_t bar = query.find('|');
  // The routines take zero-terminated names.
  std::string section = query.substr(0, bar).c_str();
  std::string key = bar == std::string::npos ? std::string() : std::string(query.substr(bar + 1).c_str());

  CheckQueries(file, section, key);
  CheckSettings(file);
  return 0;
}
