// The bridge's own operations: version, module loading, native memory blocks,
// the advisory lock, and the library's load and unload hooks.
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>

#include "jni_bridge/bridge_log.h"
#include "jni_bridge/bridge_memory.h"
#include "jni_bridge/cryptoki.h"
#include "jni_bridge/jdirect.h"

#ifndef BRIDGE_LIB_VERSION
#error "BRIDGE_LIB_VERSION must be defined by the build"
#endif

// Kept internal; the test build calls them to see their log lines.
void bridge_process_attach();
void bridge_process_detach();

namespace {

constexpr std::size_t kNameBlock = 260;

// The name of the module loaded, kept for the rest of the process.
char loaded_library_name[kNameBlock];
bool name_loaded = false;
// Two threads loading at once must not both load: the whole load runs under it.
std::mutex g_load_mutex;

std::atomic<int> bridge_locked{0};

// Live blocks: address -> (mapping length, size asked for). Copies run under the
// mutex, so a block cannot be freed while it is being read or written.
struct Block {
  std::size_t mapped;
  std::int64_t size;
};
std::mutex g_memory_mutex;
std::map<std::uintptr_t, Block>& Blocks() {
  static auto* blocks = new std::map<std::uintptr_t, Block>;  // outlives every unload hook
  return *blocks;
}

void* AddressToPointer(std::int32_t address) {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(static_cast<std::uint32_t>(address)));
}

// Finds the block at address and checks offset and size against it; logs the
// refusal. badAddress is the line for an unknown address.
const Block* CheckRange(std::int32_t address, std::int32_t offset, std::int32_t size, const char* badAddress) {
  auto& blocks = Blocks();
  auto it = blocks.find(reinterpret_cast<std::uintptr_t>(AddressToPointer(address)));
  if (it == blocks.end()) {
    log_line(badAddress);
    return nullptr;
  }
  if (offset < 0 || size < 0 || static_cast<std::int64_t>(offset) + size > it->second.size) {
    log_line("*** BAD OFFSET OR SIZE ***");
    return nullptr;
  }
  return &it->second;
}

}  // namespace

bool bridge_block_covers(std::uint64_t address, std::uint64_t length) {
  std::lock_guard<std::mutex> lock(g_memory_mutex);
  auto& blocks = Blocks();
  auto it = blocks.upper_bound(static_cast<std::uintptr_t>(address));
  if (it == blocks.begin()) return false;
  --it;
  std::uint64_t start = it->first;
  std::uint64_t size = static_cast<std::uint64_t>(it->second.size);
  return address >= start && address - start <= size && length <= size - (address - start);
}

extern "C" {

int32_t jdirect_GetLibVersion(void) {
  log_int("jdirect_GetLibVersion - version: %d", BRIDGE_LIB_VERSION);
  return BRIDGE_LIB_VERSION;
}

int32_t jdirect_LoadPKCS(const char* name) {
  log_line("jdirect_LoadPKCS");
  if (!name || strnlen(name, kNameBlock) >= kNameBlock) return 0;
  std::lock_guard<std::mutex> lock(g_load_mutex);
  if (name_loaded) {
    if (std::strcmp(loaded_library_name, name) == 0) {
      log_line("jdirect_LoadPKCS: skipping, already loaded");
      return 1;
    }
    log_line("jdirect_LoadPKCS: error, other dll already loaded");
    return 0;
  }
  if (!cryptoki_load(name)) return 0;
  std::memcpy(loaded_library_name, name, std::strlen(name) + 1);
  name_loaded = true;
  return 1;
}

int32_t jdirect_AllocMem(int32_t size) {
  log_int("jdirect_AllocMem of size: %d", size);
  void* p = MAP_FAILED;
  std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  // A zero-byte block still gets an address of its own (and a page behind it).
  std::size_t mapped = size > 0 ? (static_cast<std::size_t>(size) + page - 1) / page * page : page;
  if (size >= 0)
    // Java holds the address in an int: the block must lie below 2 GiB.
    p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
  if (p != MAP_FAILED && reinterpret_cast<std::uintptr_t>(p) + mapped > 0x80000000u) {
    munmap(p, mapped);
    p = MAP_FAILED;
  }
  if (p == MAP_FAILED) {
    log_line("*** FAILED TO ALLOCATE MEMORY ***");
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(g_memory_mutex);
    Blocks()[reinterpret_cast<std::uintptr_t>(p)] = Block{mapped, size};
  }
  auto address = static_cast<int32_t>(reinterpret_cast<std::uintptr_t>(p));
  log_int("Memory allocated at address: %d", address);
  return address;
}

void jdirect_SetMem(int32_t address, const void* src, int32_t offset, int32_t size) {
  log_int("jdirect_SetMem destination address: %d", address);
  log_int2("jdirect_SetMem offset: %d, size: %d", offset, size);
  if (address == 0) {
    log_line("*** BAD DESTINATION ADDRESS ***");
    return;
  }
  if (!src) {
    log_line("*** BAD SOURCE ADDRESS ***");
    return;
  }
  std::lock_guard<std::mutex> lock(g_memory_mutex);
  if (!CheckRange(address, offset, size, "*** BAD DESTINATION ADDRESS ***")) return;
  if (size > 0)
    std::memcpy(static_cast<char*>(AddressToPointer(address)) + offset, src, static_cast<std::size_t>(size));
}

void jdirect_GetMem(int32_t address, void* dst, int32_t offset, int32_t length) {
  log_int2("jdirect_GetMem copy from address: %d <= len: %d", address, length);
  if (!dst) {
    log_line("*** BAD DESTINATION ADDRESS ***");
    return;
  }
  if (address == 0) {
    log_line("*** BAD SOURCE ADDRESS ***");
    return;
  }
  std::lock_guard<std::mutex> lock(g_memory_mutex);
  if (!CheckRange(address, offset, length, "*** BAD SOURCE ADDRESS ***")) return;
  if (length > 0)
    std::memcpy(dst, static_cast<const char*>(AddressToPointer(address)) + offset, static_cast<std::size_t>(length));
}

void jdirect_FreeMem(int32_t address) {
  log_int("jdirect_FreeMem at address: %d", address);
  std::lock_guard<std::mutex> lock(g_memory_mutex);
  auto& blocks = Blocks();
  auto it = address ? blocks.find(reinterpret_cast<std::uintptr_t>(AddressToPointer(address))) : blocks.end();
  if (it == blocks.end()) {
    log_line("*** NO BLOCK TO DEALLOCATE ***");
    return;
  }
  munmap(AddressToPointer(address), it->second.mapped);
  blocks.erase(it);
}

int32_t jdirect_Lock(void) {
  if (bridge_locked.exchange(1) == 1) {
    log_line("...(locked)...");
    return 0;
  }
  log_line("... LOCK ...");
  return 1;
}

void jdirect_Unlock(void) {
  log_line("... UNLOCK ...");
  bridge_locked.store(0);
}

}  // extern "C"

// Linux has no per-thread attach and detach calls for a library, so only the
// process lines remain.
void bridge_process_attach() {
  log_line("NetsentryDll........ ## NEW PROCESS ################################################");
  log_line("NetsentryDll........ DllMain - DLL_PROCESS_ATTACH");
}

void bridge_process_detach() { log_line("NetsentryDll........ DllMain - DLL_PROCESS_DETACH"); }

namespace {
__attribute__((constructor)) void OnLibraryLoad() { bridge_process_attach(); }
__attribute__((destructor)) void OnLibraryUnload() { bridge_process_detach(); }
}  // namespace
