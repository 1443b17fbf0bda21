// The fault-injection seam shared by both platform implementations.
#include "platform/FileFaultHook.h"

#include <atomic>

namespace ovts::port {

namespace {
std::atomic<FileFaultHook*> g_hook{nullptr};
}  // namespace

void SetFileFaultHook(FileFaultHook* hook) { g_hook.store(hook, std::memory_order_release); }

FileFault CheckFileFault(FileOp op) {
  FileFaultHook* hook = g_hook.load(std::memory_order_acquire);
  return hook ? hook->Before(op) : FileFault::kNone;
}

}  // namespace ovts::port
