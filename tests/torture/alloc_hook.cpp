#include "torture/alloc_hook.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
}

namespace {

// Plain thread-locals: no constructor, so reading them allocates nothing.
thread_local bool armed = false;
thread_local uint64_t counted = 0;
thread_local uint64_t failAtCount = 0;
thread_local bool delivered = false;

// Counts one allocation; true when it is the one to fail.
bool failThisOne() {
  if (!armed) return false;
  if (++counted != failAtCount) return false;
  delivered = true;
  errno = ENOMEM;
  return true;
}

void* allocateOrThrow(size_t size) {
  void* block = failThisOne() ? nullptr : __real_malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void* allocateAlignedOrThrow(size_t size, std::align_val_t align) {
  const size_t alignment = static_cast<size_t>(align);
  const size_t rounded = (size + alignment - 1) / alignment * alignment;
  void* block = failThisOne() ? nullptr : std::aligned_alloc(alignment, rounded == 0 ? alignment : rounded);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

}  // namespace

namespace allochook {

void arm(uint64_t failAt) {
  counted = 0;
  failAtCount = failAt;
  delivered = false;
  armed = true;
}

uint64_t disarm() {
  armed = false;
  return counted;
}

bool failureDelivered() { return delivered; }

Paused::Paused() : wasArmed_(armed) { armed = false; }
Paused::~Paused() { armed = wasArmed_; }

}  // namespace allochook

extern "C" {
void* __wrap_malloc(size_t size) { return failThisOne() ? nullptr : __real_malloc(size); }
void* __wrap_calloc(size_t count, size_t size) { return failThisOne() ? nullptr : __real_calloc(count, size); }
void* __wrap_realloc(void* block, size_t size) { return failThisOne() ? nullptr : __real_realloc(block, size); }
}

// Every form of the global operator new goes through the counter; every
// delete frees what they got from malloc.
void* operator new(size_t size) { return allocateOrThrow(size); }
void* operator new[](size_t size) { return allocateOrThrow(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocateOrThrow(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void* operator new(size_t size, std::align_val_t align) { return allocateAlignedOrThrow(size, align); }
void* operator new[](size_t size, std::align_val_t align) { return allocateAlignedOrThrow(size, align); }
void* operator new(size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  try {
    return allocateAlignedOrThrow(size, align);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](size_t size, std::align_val_t align, const std::nothrow_t& tag) noexcept {
  return operator new(size, align, tag);
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept { std::free(block); }
