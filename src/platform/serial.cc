#include "platform/serial.h"

namespace plat {
namespace {
SerialPort* g_serial = nullptr;
}

SerialPort& serial() { return g_serial ? *g_serial : SystemSerial(); }

void SetSerial(SerialPort* replacement) { g_serial = replacement; }

}  // namespace plat
