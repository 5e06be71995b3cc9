// Serial ports on Linux: termios, with the Windows COMMTIMEOUTS emulated by
// poll() on a monotonic clock so that the robot link sees the same reads on
// both systems. VMIN/VTIME can't give them: VTIME counts tenths of a second
// and either runs between bytes only, with no bound on the wait for the
// first (VMIN > 0), or ends the read at the first bytes (VMIN 0).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/serial.h"
#include "platform/text.h"

namespace plat {
namespace {

constexpr int32_t kErrorDeviceNotConnected = 1167;

struct PosixPort {
  int fd;
  bool dropNulls;
  SerialTimeouts timeouts;
};

PosixPort* PortOf(SerialHandle handle) {
  return handle == kInvalidSerial || handle == 0 ? nullptr : reinterpret_cast<PosixPort*>(handle);
}

void SetErrno(int value) { SetLastErrorCode(WindowsCodeFromErrno(value)); }

// A read that fails after bytes came returns them: they are the robot's and
// must reach the report. The failure (a hang-up stays a hang-up) is met
// again by the next read.
bool FailRead(int32_t code, uint32_t got, uint32_t* bytesRead) {
  *bytesRead = got;
  if (got > 0) return true;
  SetLastErrorCode(code);
  return false;
}

int64_t NowMs() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The entry of folder named like part, the exact spelling first. Port names
// reach us upper-cased by discovery (TTYACM0 for /dev/ttyACM0).
bool FindEntryNoCase(const std::string& folder, const std::string& part, std::string* found) {
  struct stat st {};
  if (::lstat((folder + "/" + part).c_str(), &st) == 0) {
    *found = part;
    return true;
  }
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return false;
  bool ok = false;
  while (struct dirent* entry = ::readdir(dir)) {
    if (EqualsNoCase(entry->d_name, part)) {
      *found = entry->d_name;
      ok = true;
      break;
    }
  }
  ::closedir(dir);
  return ok;
}

// The /dev path of a port name. The name is a tty name under /dev, possibly
// with a folder (pts/3); it never leaves /dev.
bool DevicePathOf(const char* name, std::string* path) {
  std::string rest(name);
  if (rest.empty() || rest[0] == '/') return false;
  std::string current = "/dev";
  size_t start = 0;
  while (start <= rest.size()) {
    size_t slash = rest.find('/', start);
    if (slash == std::string::npos) slash = rest.size();
    std::string part = rest.substr(start, slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    std::string actual;
    if (!FindEntryNoCase(current, part, &actual)) return false;
    current += "/" + actual;
    start = slash + 1;
  }
  *path = current;
  return true;
}

// Modem-line and exclusivity requests that pseudo-terminals (and umockdev's
// emulated devices) don't have: "not supported here", not a failure.
bool IsUnsupported(int value) { return value == ENOTTY || value == EINVAL || value == ENOSYS; }

speed_t SpeedOf(uint32_t baud, bool* ok) {
  static const struct {
    uint32_t baud;
    speed_t speed;
  } kSpeeds[] = {{110, B110},       {300, B300},       {600, B600},     {1200, B1200},
                 {2400, B2400},     {4800, B4800},     {9600, B9600},   {19200, B19200},
                 {38400, B38400},   {57600, B57600},   {115200, B115200}, {230400, B230400},
                 {460800, B460800}, {921600, B921600}};
  for (const auto& s : kSpeeds) {
    if (s.baud == baud) {
      *ok = true;
      return s.speed;
    }
  }
  *ok = false;
  return B9600;
}

bool SetModemLine(int fd, int line, bool raised) {
  int bits = line;
  if (::ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &bits) == 0) return true;
  return IsUnsupported(errno);
}

class PosixSerial : public SerialPort {
 public:
  SerialHandle Open(const char* name) override {
    std::string path;
    if (!DevicePathOf(name ? name : "", &path)) {
      SetLastErrorCode(kErrorFileNotFound);
      return kInvalidSerial;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      SetErrno(errno);
      return kInvalidSerial;
    }
    // Exclusive like a Windows COM port: an advisory lock that every copy of
    // this program (and any lock-aware program) respects, and TIOCEXCL,
    // which refuses further opens of the tty to everyone but root.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EAGAIN)) {
      ::close(fd);
      SetLastErrorCode(kErrorAccessDenied);
      return kInvalidSerial;
    }
    if (::ioctl(fd, TIOCEXCL) != 0 && !IsUnsupported(errno)) {
      SetErrno(errno);
      ::close(fd);
      return kInvalidSerial;
    }
    // Whatever arrived before we opened the port belongs to nobody.
    ::tcflush(fd, TCIFLUSH);
    auto* port = new PosixPort{fd, false, SerialTimeouts{0, 0, 0, 0, 0}};
    return reinterpret_cast<SerialHandle>(port);
  }

  bool Configure(SerialHandle handle, const SerialLineSettings& s, const SerialTimeouts& timeouts,
                 uint32_t) override {
    // The event mask has no counterpart here; nothing waits on its events.
    PosixPort* port = PortOf(handle);
    if (!port) {
      SetLastErrorCode(6);  // ERROR_INVALID_HANDLE
      return false;
    }
    struct termios tio {};
    if (::tcgetattr(port->fd, &tio) != 0) {
      SetErrno(errno);
      return false;
    }
    bool speedOk = false;
    speed_t speed = SpeedOf(s.baudRate, &speedOk);
    if (!speedOk || s.byteSize < 5 || s.byteSize > 8) {
      SetLastErrorCode(87);  // ERROR_INVALID_PARAMETER, as SetCommState answers
      return false;
    }
    // Raw: no line editing, echo, signals or character translation.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                          IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[s.byteSize - 5] | CLOCAL | CREAD;
    if (s.parity == 1) tio.c_cflag |= PARENB | PARODD;
    if (s.parity == 2) tio.c_cflag |= PARENB;
    if (s.stopBits != 0) tio.c_cflag |= CSTOPB;
    if (s.parityCheck) tio.c_iflag |= INPCK;
    if (s.outxCtsFlow || s.rtsControl == 2) tio.c_cflag |= CRTSCTS;
    if (s.outX) tio.c_iflag |= IXON;
    if (s.inX) tio.c_iflag |= IXOFF;
    // Reads never block in the driver; the time-outs are kept by poll().
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(port->fd, TCSANOW, &tio) != 0) {
      SetErrno(errno);
      return false;
    }
    if (!SetModemLine(port->fd, TIOCM_DTR, s.dtrControl == kDtrControlEnable) ||
        !SetModemLine(port->fd, TIOCM_RTS, s.rtsControl == 1)) {
      SetErrno(errno);
      return false;
    }
    port->dropNulls = s.discardNulls;
    port->timeouts = timeouts;
    return true;
  }

  bool Read(SerialHandle handle, void* buffer, uint32_t size, uint32_t* bytesRead) override {
    *bytesRead = 0;
    PosixPort* port = PortOf(handle);
    if (!port) {
      SetLastErrorCode(6);
      return false;
    }
    if (size == 0) return true;
    // ReadFile's time-outs: a read returns when its buffer is full, when the
    // total time-out (multiplier x size + constant, from the start of the
    // read) has passed, or when the line has been quiet for the interval
    // time-out after a byte came; zero turns either timer off. Bytes that
    // arrive inside that window belong to this read, so a robot's answer and
    // whatever it sends right after come back together, as on Windows.
    // An interval of MAXDWORD with no total asks for what is there now; with
    // a multiplier of MAXDWORD too, for the first bytes within the constant.
    const SerialTimeouts& t = port->timeouts;
    const uint32_t kMax = 0xFFFFFFFFu;
    bool immediate = t.readInterval == kMax && t.readTotalMultiplier == 0 && t.readTotalConstant == 0;
    bool firstBytes = t.readInterval == kMax && t.readTotalMultiplier == kMax && t.readTotalConstant > 0 &&
                      t.readTotalConstant < kMax;
    int64_t interval = firstBytes ? 0 : t.readInterval;
    uint64_t totalMs = firstBytes ? t.readTotalConstant
                                  : static_cast<uint64_t>(t.readTotalMultiplier) * size + t.readTotalConstant;
    int64_t total = totalMs > (1ull << 40) ? (1ll << 40) : static_cast<int64_t>(totalMs);
    int64_t start = NowMs();
    int64_t lastByte = 0;
    char* out = static_cast<char*>(buffer);
    uint32_t got = 0;
    while (got < size) {
      int wait = -1;
      if (immediate) {
        wait = 0;
      } else {
        int64_t deadline = -1;
        if (total > 0) deadline = start + total;
        if (got > 0 && interval > 0 && (deadline < 0 || lastByte + interval < deadline)) {
          deadline = lastByte + interval;
        }
        if (deadline >= 0) {
          int64_t left = deadline - NowMs();
          if (left <= 0) break;
          wait = left > (1 << 30) ? (1 << 30) : static_cast<int>(left);
        }
      }
      struct pollfd pfd {port->fd, POLLIN, 0};
      int ready = ::poll(&pfd, 1, wait);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return FailRead(WindowsCodeFromErrno(errno), got, bytesRead);
      }
      if (ready == 0) {
        if (immediate) break;
        continue;  // a timer ran out; the loop head decides which
      }
      if (pfd.revents & POLLNVAL) return FailRead(6, got, bytesRead);
      ssize_t n = ::read(port->fd, out + got, size - got);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return FailRead(WindowsCodeFromErrno(errno), got, bytesRead);
      }
      // Readable with nothing to read: the device hung up (unplugged).
      if (n == 0) return FailRead(kErrorDeviceNotConnected, got, bytesRead);
      uint32_t kept = static_cast<uint32_t>(n);
      if (port->dropNulls) {
        char* fresh = out + got;
        kept = 0;
        for (ssize_t i = 0; i < n; ++i) {
          if (fresh[i] != '\0') fresh[kept++] = fresh[i];
        }
      }
      if (kept == 0) continue;  // only dropped zero bytes: nothing came
      got += kept;
      lastByte = NowMs();
      if (firstBytes) break;
    }
    *bytesRead = got;
    return true;
  }

  bool Write(SerialHandle handle, const void* data, uint32_t size, uint32_t* written) override {
    *written = 0;
    PosixPort* port = PortOf(handle);
    if (!port) {
      SetLastErrorCode(6);
      return false;
    }
    const SerialTimeouts& t = port->timeouts;
    bool forever = t.writeTotalConstant == 0 && t.writeTotalMultiplier == 0;
    int64_t deadline =
        NowMs() + t.writeTotalConstant + static_cast<int64_t>(t.writeTotalMultiplier) * size;
    const char* in = static_cast<const char*>(data);
    uint32_t done = 0;
    while (done < size) {
      ssize_t n = ::write(port->fd, in + done, size - done);
      if (n > 0) {
        done += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        SetErrno(errno);
        *written = done;
        return false;
      }
      int wait = -1;
      if (!forever) {
        int64_t left = deadline - NowMs();
        if (left <= 0) break;  // the write time-out: report what was taken
        wait = static_cast<int>(left);
      }
      struct pollfd pfd {port->fd, POLLOUT, 0};
      int ready = ::poll(&pfd, 1, wait);
      if (ready < 0 && errno != EINTR) {
        SetErrno(errno);
        *written = done;
        return false;
      }
      if (ready > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(pfd.revents & POLLOUT)) {
        SetLastErrorCode(kErrorDeviceNotConnected);
        *written = done;
        return false;
      }
    }
    *written = done;
    return true;
  }

  void Close(SerialHandle handle) override {
    PosixPort* port = PortOf(handle);
    if (!port) return;
    // Give up the exclusive claim before closing: a pseudo-terminal that its
    // other side keeps open would otherwise stay barred to our next open.
    ::ioctl(port->fd, TIOCNXCL);
    ::close(port->fd);
    delete port;
  }
};

}  // namespace

SerialPort& SystemSerial() {
  static PosixSerial instance;
  return instance;
}

struct PseudoTerminal {
  int master;
  int slave;  // kept open so the far end outlives the opener's closes
};

PseudoTerminal* OpenPseudoTerminal(std::string* portName, std::string* devicePath) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) {
    SetErrno(errno);
    return nullptr;
  }
  char name[128];
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
    SetErrno(errno);
    ::close(master);
    return nullptr;
  }
  int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    SetErrno(errno);
    ::close(master);
    return nullptr;
  }
  // Raw from the start, so nothing is echoed or translated before the
  // program under test configures the port itself.
  struct termios tio {};
  ::tcgetattr(slave, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(slave, TCSANOW, &tio);
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  *devicePath = name;
  *portName = devicePath->compare(0, 5, "/dev/") == 0 ? devicePath->substr(5) : *devicePath;
  return new PseudoTerminal{master, slave};
}

int PseudoTerminalRead(PseudoTerminal* pty, void* buffer, uint32_t size, int timeoutMs) {
  if (!pty || pty->master < 0) return -1;
  struct pollfd pfd {pty->master, POLLIN, 0};
  int ready = ::poll(&pfd, 1, timeoutMs);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  if (ready == 0) return 0;
  ssize_t n = ::read(pty->master, buffer, size);
  if (n < 0) return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
  return static_cast<int>(n);
}

bool PseudoTerminalWrite(PseudoTerminal* pty, const void* data, uint32_t size) {
  if (!pty || pty->master < 0) return false;
  const char* in = static_cast<const char*>(data);
  uint32_t done = 0;
  int idleMs = 0;
  while (done < size) {
    ssize_t n = ::write(pty->master, in + done, size - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      idleMs = 0;
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    // The reader isn't reading; give up after a while rather than hang a test.
    if (idleMs >= 10000) return false;
    struct pollfd pfd {pty->master, POLLOUT, 0};
    ::poll(&pfd, 1, 50);
    idleMs += 50;
  }
  return true;
}

void ClosePseudoTerminal(PseudoTerminal* pty) {
  if (!pty) return;
  if (pty->master >= 0) ::close(pty->master);
  if (pty->slave >= 0) ::close(pty->slave);
  delete pty;
}

}  // namespace plat
