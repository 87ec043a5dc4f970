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

skyhelm::bench::AllocCounters* counters = nullptr;

__attribute__((constructor)) void MapCounters() {
  const char* path = std::getenv(skyhelm::bench::kAllocCountFileVariable);
  if (path == nullptr) return;
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  void* memory = mmap(nullptr, sizeof(skyhelm::bench::AllocCounters), PROT_READ | PROT_WRITE,
                      MAP_SHARED, fd, 0);
  close(fd);
  if (memory != MAP_FAILED) counters = static_cast<skyhelm::bench::AllocCounters*>(memory);
}

void CountAllocation() {
  if (counters != nullptr) counters->allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

extern "C" {

void* malloc(size_t size) {
  CountAllocation();
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  CountAllocation();
  return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) {
  CountAllocation();
  return __libc_realloc(block, size);
}

void* memalign(size_t alignment, size_t size) {
  CountAllocation();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
  CountAllocation();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
  CountAllocation();
  void* block = __libc_memalign(alignment, size);
  if (block == nullptr) return ENOMEM;
  *out = block;
  return 0;
}

void free(void* block) {
  if (block != nullptr && counters != nullptr) {
    counters->frees.fetch_add(1, std::memory_order_relaxed);
  }
  __libc_free(block);
}

ssize_t sendto(int fd, const void* data, size_t length, int flags, const sockaddr* to,
               socklen_t to_length) {
  using SendTo = ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t);
  static const auto real_sendto = reinterpret_cast<SendTo>(dlsym(RTLD_NEXT, "sendto"));
  if (counters != nullptr) counters->datagram_sends.fetch_add(1, std::memory_order_relaxed);
  return real_sendto(fd, data, length, flags, to, to_length);
}

}  // extern "C"
