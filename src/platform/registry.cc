#include "platform/registry.h"

namespace plat {
namespace {
Registry* g_registry = nullptr;
}

Registry& registry() { return g_registry ? *g_registry : SystemRegistry(); }

void SetRegistry(Registry* replacement) { g_registry = replacement; }

}  // namespace plat
