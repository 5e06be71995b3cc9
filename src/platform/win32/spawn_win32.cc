#include <windows.h>

#include <cstring>
#include <map>

#include "platform/spawn.h"

namespace plat {

struct SpawnedProcess {
  PROCESS_INFORMATION info{};
  HANDLE outRead = nullptr;
  bool ended = false;
  std::string output;
};

namespace {
void Drain(SpawnedProcess* p) {
  if (!p->outRead) return;
  for (;;) {
    DWORD available = 0;
    if (!::PeekNamedPipe(p->outRead, nullptr, 0, nullptr, &available, nullptr)) {
      ::CloseHandle(p->outRead);
      p->outRead = nullptr;
      return;
    }
    if (available == 0) return;
    char buffer[4096];
    DWORD got = 0;
    DWORD want = available < sizeof buffer ? available : sizeof buffer;
    if (!::ReadFile(p->outRead, buffer, want, &got, nullptr) || got == 0) return;
    p->output.append(buffer, got);
  }
}

// The environment block: ours, with the overrides applied (names compare
// without letter case, as Windows does).
std::string BuildEnvironment(const std::vector<std::pair<std::string, std::string>>& overrides) {
  struct NoCase {
    bool operator()(const std::string& a, const std::string& b) const {
      return ::lstrcmpiA(a.c_str(), b.c_str()) < 0;
    }
  };
  std::map<std::string, std::string, NoCase> vars;
  char* block = ::GetEnvironmentStringsA();
  for (char* s = block; s && *s; s += std::strlen(s) + 1) {
    const char* eq = std::strchr(s + 1, '=');
    if (!eq) continue;
    vars[std::string(s, static_cast<size_t>(eq - s))] = eq + 1;
  }
  if (block) ::FreeEnvironmentStringsA(block);
  for (const auto& kv : overrides) {
    if (kv.second.empty()) {
      vars.erase(kv.first);
    } else {
      vars[kv.first] = kv.second;
    }
  }
  std::string result;
  for (const auto& kv : vars) {
    result += kv.first + "=" + kv.second;
    result.push_back('\0');
  }
  result.push_back('\0');
  return result;
}
}  // namespace

SpawnedProcess* StartProcess(const std::string& program, const SpawnOptions& options) {
  std::string commandLine = "\"" + program + "\"";
  for (const auto& a : options.args) commandLine += " " + a;

  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr;
  STARTUPINFOA si;
  std::memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  if (options.captureOutput) {
    if (!::CreatePipe(&outRead, &outWrite, &sa, 1 << 16)) return nullptr;
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = outWrite;
    si.hStdError = outWrite;
    si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  }
  std::string env = BuildEnvironment(options.env);
  auto* p = new SpawnedProcess;
  BOOL ok = ::CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr,
                             options.captureOutput ? TRUE : FALSE, 0, &env[0], nullptr, &si,
                             &p->info);
  if (outWrite) ::CloseHandle(outWrite);
  if (!ok) {
    if (outRead) ::CloseHandle(outRead);
    delete p;
    return nullptr;
  }
  p->outRead = outRead;
  return p;
}

unsigned long SpawnedProcessId(SpawnedProcess* process) { return process->info.dwProcessId; }

bool WaitProcess(SpawnedProcess* p, int timeoutMs, int* exitCode) {
  DWORD start = ::GetTickCount();
  while (!p->ended) {
    Drain(p);
    if (::WaitForSingleObject(p->info.hProcess, 10) == WAIT_OBJECT_0) {
      p->ended = true;
      break;
    }
    if (static_cast<int>(::GetTickCount() - start) >= timeoutMs) return false;
  }
  DWORD drainStart = ::GetTickCount();
  while (p->outRead && ::GetTickCount() - drainStart < 2000) {
    size_t before = p->output.size();
    Drain(p);
    if (p->output.size() == before) {
      DWORD available = 0;
      if (!p->outRead || !::PeekNamedPipe(p->outRead, nullptr, 0, nullptr, &available, nullptr)) break;
      if (available == 0) ::Sleep(20);
      if (available == 0 && ::GetTickCount() - drainStart > 200) break;
    }
  }
  DWORD code = 0;
  ::GetExitCodeProcess(p->info.hProcess, &code);
  if (exitCode) *exitCode = static_cast<int>(code);
  return true;
}

void KillProcess(SpawnedProcess* p) {
  if (p->ended) return;
  ::TerminateProcess(p->info.hProcess, 1);
  ::WaitForSingleObject(p->info.hProcess, 5000);
  p->ended = true;
}

std::string ProcessOutput(SpawnedProcess* p) { return p->output; }

void ReleaseProcess(SpawnedProcess* p) {
  if (!p) return;
  KillProcess(p);
  if (p->outRead) ::CloseHandle(p->outRead);
  ::CloseHandle(p->info.hThread);
  ::CloseHandle(p->info.hProcess);
  delete p;
}

}  // namespace plat
