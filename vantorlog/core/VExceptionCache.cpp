#include "VExceptionCache.h"

#include <mutex>

namespace VCore {
namespace {

struct TCacheEntry {
  TClass cls;
  const void* address;
  std::uintptr_t key;
  TCachedDecision answer;
};

std::mutex g_lock;
TCacheEntry g_entries[kExceptionCacheSize];
int g_count = 0;

// The object's class, outside the lock (probing memory may take a while).
bool KeyClass(const void* object, TClass* cls) {
  *cls = nullptr;
  if (!object) return true;
  *cls = ClassOfObject(object);
  return *cls != nullptr;
}

}  // namespace

bool CacheLookup(const void* object, const void* address, std::uintptr_t key,
                 TCachedDecision* answer) {
  TClass cls;
  if (!KeyClass(object, &cls)) return false;
  std::lock_guard<std::mutex> guard(g_lock);
  for (int i = 0; i < g_count; ++i) {
    const TCacheEntry& e = g_entries[i];
    if (e.cls == cls && e.address == address && e.key == key) {
      if (answer) *answer = e.answer;
      return true;
    }
  }
  return false;
}

void CacheAdd(const void* object, const void* address, std::uintptr_t key,
              const TCachedDecision& answer) {
  TClass cls;
  if (!KeyClass(object, &cls)) return;
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_count == kExceptionCacheSize) {
    for (int i = 1; i < kExceptionCacheSize; ++i) g_entries[i - 1] = g_entries[i];
    --g_count;
  }
  g_entries[g_count++] = TCacheEntry{cls, address, key, answer};
}

void CacheClear() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_count = 0;
}

int CacheCount() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_count;
}

}  // namespace VCore
