#include <windows.h>

#include <cstring>
#include <string>

#include "platform/serial.h"

namespace plat {
namespace {

HANDLE H(SerialHandle port) { return reinterpret_cast<HANDLE>(port); }

class Win32Serial : public SerialPort {
 public:
  SerialHandle Open(const char* name) override {
    // The device namespace prefix lets COM10 and above open too.
    std::string path = std::string("\\\\.\\") + (name ? name : "");
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return kInvalidSerial;
    return reinterpret_cast<SerialHandle>(h);
  }

  bool Configure(SerialHandle port, const SerialLineSettings& s, const SerialTimeouts& t,
                 uint32_t eventMask) override {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    ::GetCommState(H(port), &dcb);  // what it leaves unset keeps the driver's values
    dcb.BaudRate = s.baudRate;
    dcb.ByteSize = s.byteSize;
    dcb.Parity = s.parity;
    dcb.StopBits = s.stopBits;
    dcb.fBinary = s.binary;
    dcb.fParity = s.parityCheck;
    dcb.fOutxCtsFlow = s.outxCtsFlow;
    dcb.fOutxDsrFlow = s.outxDsrFlow;
    dcb.fDtrControl = s.dtrControl;
    dcb.fDsrSensitivity = s.dsrSensitivity;
    dcb.fTXContinueOnXoff = s.txContinueOnXoff;
    dcb.fOutX = s.outX;
    dcb.fInX = s.inX;
    dcb.fErrorChar = s.errorChar;
    dcb.fNull = s.discardNulls;
    dcb.fRtsControl = s.rtsControl;
    dcb.fAbortOnError = s.abortOnError;
    BOOL stateOk = ::SetCommState(H(port), &dcb);

    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadIntervalTimeout = t.readInterval;
    timeouts.ReadTotalTimeoutMultiplier = t.readTotalMultiplier;
    timeouts.ReadTotalTimeoutConstant = t.readTotalConstant;
    timeouts.WriteTotalTimeoutMultiplier = t.writeTotalMultiplier;
    timeouts.WriteTotalTimeoutConstant = t.writeTotalConstant;
    BOOL timeoutsOk = ::SetCommTimeouts(H(port), &timeouts);

    BOOL maskOk = ::SetCommMask(H(port), eventMask);
    return stateOk && timeoutsOk && maskOk;
  }

  bool Read(SerialHandle port, void* buffer, uint32_t size, uint32_t* bytesRead) override {
    DWORD got = 0;
    BOOL ok = ::ReadFile(H(port), buffer, size, &got, nullptr);
    *bytesRead = got;
    return ok != FALSE;
  }

  bool Write(SerialHandle port, const void* data, uint32_t size, uint32_t* written) override {
    DWORD put = 0;
    BOOL ok = ::WriteFile(H(port), data, size, &put, nullptr);
    *written = put;
    return ok != FALSE;
  }

  void Close(SerialHandle port) override { ::CloseHandle(H(port)); }
};

}  // namespace

SerialPort& SystemSerial() {
  static Win32Serial instance;
  return instance;
}

// Windows has no pseudo-terminals that look like COM ports.
struct PseudoTerminal {};

PseudoTerminal* OpenPseudoTerminal(std::string*, std::string*) {
  ::SetLastError(ERROR_NOT_SUPPORTED);
  return nullptr;
}

int PseudoTerminalRead(PseudoTerminal*, void*, uint32_t, int) { return -1; }

bool PseudoTerminalWrite(PseudoTerminal*, const void*, uint32_t) { return false; }

void ClosePseudoTerminal(PseudoTerminal*) {}

}  // namespace plat
