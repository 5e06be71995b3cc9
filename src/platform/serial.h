// Serial ports, as the robot link drives them: opened exclusively by port
// name, given fixed line settings and time-outs, then read and written
// synchronously. Behind an interface so that tests can play a robot that
// stays silent for 30 seconds or a driver that stalls, in milliseconds.
// Failures leave the Windows error code in LastErrorCode().
#pragma once
#include <cstdint>
#include <string>

namespace plat {

// An open port, or kInvalidSerial (all bits set, like INVALID_HANDLE_VALUE).
using SerialHandle = intptr_t;
constexpr SerialHandle kInvalidSerial = -1;

// The line settings of a Windows DCB that the robot link sets; every other
// field keeps what the driver had.
struct SerialLineSettings {
  uint32_t baudRate;
  uint8_t byteSize;
  uint8_t parity;    // 0 = none
  uint8_t stopBits;  // 0 = one stop bit
  bool binary;
  bool parityCheck;  // fParity
  bool outxCtsFlow;
  bool outxDsrFlow;
  uint8_t dtrControl;  // 0 disable, 1 enable (raised while open), 2 handshake
  bool dsrSensitivity;
  bool txContinueOnXoff;
  bool outX;
  bool inX;
  bool errorChar;
  bool discardNulls;   // fNull: received zero bytes never reach the reader
  uint8_t rtsControl;  // 0 disable (low), 1 enable, 2 handshake, 3 toggle
  bool abortOnError;
};

constexpr uint8_t kDtrControlEnable = 1;
constexpr uint8_t kRtsControlDisable = 0;

// COMMTIMEOUTS, in milliseconds.
struct SerialTimeouts {
  uint32_t readInterval;
  uint32_t readTotalMultiplier;
  uint32_t readTotalConstant;
  uint32_t writeTotalMultiplier;
  uint32_t writeTotalConstant;
};

constexpr uint32_t kEventRxChar = 0x0001;   // EV_RXCHAR
constexpr uint32_t kEventTxEmpty = 0x0004;  // EV_TXEMPTY

class SerialPort {
 public:
  virtual ~SerialPort() = default;
  // Opens the port of that name for reading and writing, exclusively.
  // Windows: CreateFileA on "\\.\" and the name. Linux: the tty of that name
  // under /dev, found without regard to letter case.
  virtual SerialHandle Open(const char* name) = 0;
  // GetCommState, the settings, SetCommState; SetCommTimeouts; SetCommMask.
  // False when the port refuses any of them (the port stays open).
  virtual bool Configure(SerialHandle port, const SerialLineSettings& settings,
                         const SerialTimeouts& timeouts, uint32_t eventMask) = 0;
  // One synchronous read of at most size bytes, ended as ReadFile ends it
  // under the time-outs set: buffer full, total time-out, or the interval
  // time-out after bytes came. True with a count that may be 0 when the
  // read time-out passed with nothing received.
  virtual bool Read(SerialHandle port, void* buffer, uint32_t size, uint32_t* bytesRead) = 0;
  // One synchronous write; true with the count taken (possibly fewer than
  // size, or 0, when the write time-out passed).
  virtual bool Write(SerialHandle port, const void* data, uint32_t size, uint32_t* written) = 0;
  virtual void Close(SerialHandle port) = 0;
};

// The serial ports in use: the system's, unless a test put its own in place.
SerialPort& serial();
void SetSerial(SerialPort* replacement);  // nullptr puts the system's back
SerialPort& SystemSerial();

// A pseudo-terminal: a pair of connected ends, one of which looks like a
// serial port to whoever opens it. Tests and the robot emulator stand on the
// other end; the updater never makes one. Linux only; elsewhere
// OpenPseudoTerminal answers null.
struct PseudoTerminal;
// portName: what SerialPort::Open takes to open the far end (for example
// "pts/3"); devicePath: its full path (for example "/dev/pts/3").
PseudoTerminal* OpenPseudoTerminal(std::string* portName, std::string* devicePath);
// Waits up to timeoutMs for bytes. Returns the count, 0 when none came, or
// -1 when the terminal can't be read any more.
int PseudoTerminalRead(PseudoTerminal* pty, void* buffer, uint32_t size, int timeoutMs);
// Writes all bytes (waiting while the far end is full); false on failure.
bool PseudoTerminalWrite(PseudoTerminal* pty, const void* data, uint32_t size);
// Hangs up: the far end's reads and writes fail from now on.
void ClosePseudoTerminal(PseudoTerminal* pty);

}  // namespace plat
