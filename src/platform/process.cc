#include "platform/process.h"

namespace plat {
namespace {
Processes* g_processes = nullptr;
}

Processes& processes() { return g_processes ? *g_processes : SystemProcesses(); }

void SetProcesses(Processes* replacement) { g_processes = replacement; }

}  // namespace plat
