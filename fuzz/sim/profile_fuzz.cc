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


// ---- Model-based: the input, read as a run of edits to a settings file,
// builds the file and an in-memory model of what it says side by side; every
// name the edits touched must then read back as the model has it.
//
// Each edit is a byte: the low two bits pick set, delete key, delete section
// or a ';' line; the next bits pick one of a few section and key names
// (written in a letter case of the input's choosing) and a value. The file is
// written with blanks around names and '=' and with LF or CR LF as the
// input chooses, a later section of a name already there (which must never
// count) at the end. Names and values come from a plain alphabet, so that the
// model need not know the reader's finer rules.

struct ModelKey {
  std::string name;  // as first written
  std::string value;
};
struct ModelSection {
  std::string name;
  std::vector<ModelKey> keys;
};

std::string Folded(const std::string& text) {
  std::string lower;
  for (char c : text) lower.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
  return lower;
}

std::string Cased(const char* name, uint8_t bits) {
  std::string out = name;
  for (size_t i = 0; i < out.size(); ++i) {
    if ((bits >> (i % 8)) & 1 && out[i] >= 'a' && out[i] <= 'z') out[i] = static_cast<char>(out[i] - 'a' + 'A');
  }
  return out;
}

ModelSection* FindSection(std::vector<ModelSection>* sections, const std::string& name) {
  for (ModelSection& s : *sections) {
    if (Folded(s.name) == Folded(name)) return &s;
  }
  return nullptr;
}

void CheckModel(const uint8_t* data, size_t size) {
  static const char* const kSections[] = {"Robot", "Sim", "robot x", "Paths"};
  static const char* const kKeys[] = {"Hardware", "ModelId", "on", "size", "a"};
  static const char* const kValues[] = {"", "1", "KR-200", "0x1F", "a b", "x=y", "path\\to;c"};
  std::vector<ModelSection> sections;
  std::vector<std::string> stray;  // ';' lines in the first section: keys nobody asks for
  bool crlf = size > 0 && (data[0] & 1);
  std::string pad = size > 0 && (data[0] & 2) ? " \t" : "";
  for (size_t i = 1; i + 1 < size && i < 200; i += 2) {
    uint8_t op = data[i] & 3;
    std::string section = Cased(kSections[(data[i] >> 2) % 4], data[i + 1]);
    std::string key = Cased(kKeys[(data[i] >> 4) % 5], static_cast<uint8_t>(data[i + 1] >> 3));
    std::string value = kValues[data[i + 1] % 7];
    ModelSection* s = FindSection(&sections, section);
    if (op == 0) {  // set
      if (!s) {
        sections.push_back({section, {}});
        s = &sections.back();
      }
      bool done = false;
      for (ModelKey& k : s->keys) {
        if (!done && Folded(k.name) == Folded(key)) {
          k.value = value;
          done = true;
        }
      }
      if (!done) s->keys.push_back({key, value});
    } else if (op == 1 && s) {  // delete the key
      for (size_t k = 0; k < s->keys.size(); ++k) {
        if (Folded(s->keys[k].name) == Folded(key)) {
          s->keys.erase(s->keys.begin() + static_cast<long>(k));
          break;
        }
      }
    } else if (op == 2 && s) {  // delete the section
      sections.erase(sections.begin() + (s - sections.data()));
    } else if (op == 3) {  // ";name=stray", which is not the key name
      stray.push_back(key);
    }
  }
  std::string eol = crlf ? "\r\n" : "\n";
  std::string file;
  for (size_t n = 0; n < sections.size(); ++n) {
    file += pad + "[" + sections[n].name + "]" + pad + eol;
    if (n == 0) {
      for (const std::string& line : stray) file += ";" + line + "=stray" + eol;
    }
    for (const ModelKey& k : sections[n].keys) file += pad + k.name + pad + "=" + pad + k.value + pad + eol;
  }
  // Later sections and keys of names already there never count.
  for (const ModelSection& s : sections) {
    file += "[" + Cased(s.name.c_str(), 0xFF) + "]" + eol;
    for (const char* keyName : kKeys) file += std::string(keyName) + "=later" + eol;
  }
  WriteFile(g_file, file);

  for (const char* sectionName : kSections) {
    for (const char* keyName : kKeys) {
      const ModelSection* s = FindSection(&sections, sectionName);
      std::string expected = "dflt";
      if (s) {
        for (const ModelKey& k : s->keys) {
          if (Folded(k.name) == Folded(keyName)) {
            expected = k.value;
            break;
          }
        }
      }
      std::string got = Read(sectionName, keyName, "dflt", 300);
      if (got != expected) {
        std::fprintf(stderr, "profile_fuzz: [%s] %s reads [%s], the model says [%s]\n", sectionName, keyName,
                     got.c_str(), expected.c_str());
        std::abort();
      }
    }
  }
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
  CheckModel(data, size);
  return 0;
}
