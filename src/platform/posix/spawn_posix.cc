#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/spawn.h"

namespace plat {

struct SpawnedProcess {
  pid_t pid = -1;
  int outFd = -1;
  bool reaped = false;
  int status = 0;
  std::string output;
};

namespace {
int64_t NowMs() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void Drain(SpawnedProcess* p, int waitMs) {
  if (p->outFd < 0) return;
  struct pollfd pfd {p->outFd, POLLIN, 0};
  if (::poll(&pfd, 1, waitMs) <= 0) return;
  char buffer[4096];
  ssize_t n = ::read(p->outFd, buffer, sizeof buffer);
  if (n > 0) {
    p->output.append(buffer, static_cast<size_t>(n));
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    ::close(p->outFd);
    p->outFd = -1;
  }
}
}  // namespace

SpawnedProcess* StartProcess(const std::string& program, const SpawnOptions& options) {
  int fds[2] = {-1, -1};
  if (options.captureOutput && ::pipe2(fds, O_CLOEXEC) != 0) return nullptr;
  pid_t pid = ::fork();
  if (pid < 0) {
    if (fds[0] >= 0) {
      ::close(fds[0]);
      ::close(fds[1]);
    }
    return nullptr;
  }
  if (pid == 0) {
    if (options.captureOutput) {
      ::dup2(fds[1], STDOUT_FILENO);
      ::dup2(fds[1], STDERR_FILENO);
    }
    int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, STDIN_FILENO);
    for (const auto& kv : options.env) {
      if (kv.second.empty()) {
        ::unsetenv(kv.first.c_str());
      } else {
        ::setenv(kv.first.c_str(), kv.second.c_str(), 1);
      }
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : options.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  auto* p = new SpawnedProcess;
  p->pid = pid;
  if (options.captureOutput) {
    ::close(fds[1]);
    p->outFd = fds[0];
  }
  return p;
}

unsigned long SpawnedProcessId(SpawnedProcess* process) {
  return static_cast<unsigned long>(process->pid);
}

bool WaitProcess(SpawnedProcess* p, int timeoutMs, int* exitCode) {
  int64_t deadline = NowMs() + timeoutMs;
  while (!p->reaped) {
    pid_t r = ::waitpid(p->pid, &p->status, WNOHANG);
    if (r == p->pid) {
      p->reaped = true;
      break;
    }
    if (NowMs() >= deadline) return false;
    if (p->outFd >= 0) {
      Drain(p, 10);
    } else {
      struct timespec ts {0, 10 * 1000000L};
      nanosleep(&ts, nullptr);
    }
  }
  // Collect whatever is still in the pipe (a grandchild may hold it open, so bounded).
  int64_t drainUntil = NowMs() + 2000;
  while (p->outFd >= 0 && NowMs() < drainUntil) Drain(p, 50);
  if (exitCode) {
    *exitCode = WIFEXITED(p->status) ? WEXITSTATUS(p->status) : 128 + WTERMSIG(p->status);
  }
  return true;
}

void KillProcess(SpawnedProcess* p) {
  if (p->reaped) return;
  ::kill(p->pid, SIGKILL);
  ::waitpid(p->pid, &p->status, 0);
  p->reaped = true;
}

std::string ProcessOutput(SpawnedProcess* p) { return p->output; }

void ReleaseProcess(SpawnedProcess* p) {
  if (!p) return;
  KillProcess(p);
  if (p->outFd >= 0) ::close(p->outFd);
  delete p;
}

}  // namespace plat
