// LD_PRELOAD library that counts the heap allocations (and datagram sends) of the process it is
// loaded into, into a file the bench maps as well. The allocation itself is left to glibc.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "bench/alloc_counters.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* block);
}

namespace {

using skyhelm::bench::AllocCounters;
AllocCounters* counters = nullptr;

__attribute__((constructor)) void MapCounters() {
  const char* path = std::getenv(skyhelm::bench::kAllocCountFileVariable);
  const int fd = path != nullptr ? open(path, O_RDWR | O_CLOEXEC) : -1;
  if (fd < 0) return;
  void* memory = mmap(nullptr, sizeof(AllocCounters), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (memory != MAP_FAILED) counters = static_cast<AllocCounters*>(memory);
}

void Count(std::atomic<std::uint64_t> AllocCounters::*counter) {
  if (counters != nullptr) (counters->*counter).fetch_add(1, std::memory_order_relaxed);
}

void* Allocated(void* block) {
  Count(&AllocCounters::allocations);
  return block;
}

}  // namespace

extern "C" {

void* malloc(size_t size) { return Allocated(__libc_malloc(size)); }
void* calloc(size_t count, size_t size) { return Allocated(__libc_calloc(count, size)); }
void* realloc(void* block, size_t size) { return Allocated(__libc_realloc(block, size)); }
void* memalign(size_t alignment, size_t size) {
  return Allocated(__libc_memalign(alignment, size));
}
void* aligned_alloc(size_t alignment, size_t size) {
  return Allocated(__libc_memalign(alignment, size));
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  void* block = Allocated(__libc_memalign(alignment, size));
  if (block == nullptr) return ENOMEM;
  *out = block;
  return 0;
}

void free(void* block) {
  if (block != nullptr) Count(&AllocCounters::frees);
  __libc_free(block);
}

ssize_t sendto(int fd, const void* data, size_t length, int flags, const sockaddr* to,
               socklen_t to_length) {
  using SendTo = ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t);
  static const auto real_sendto = reinterpret_cast<SendTo>(dlsym(RTLD_NEXT, "sendto"));
  Count(&AllocCounters::datagram_sends);
  return real_sendto(fd, data, length, flags, to, to_length);
}

}  // extern "C"
