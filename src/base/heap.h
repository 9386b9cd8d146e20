#ifndef ZTV_BASE_HEAP_H
#define ZTV_BASE_HEAP_H

// The one way the program meets a failed allocation: as a result (null,
// nothing, false), never an abort or an exception crossing an operation.
// Heap blocks whose size comes from outside (a document, a tag body, the
// stream buffer), records, and the small strings built on the way.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

struct FreeDeleter {
  void operator()(void* block) const noexcept { std::free(block); }
};

// An owned, malloc'ed array; null when there is none.
template <typename T>
using HeapArray = std::unique_ptr<T[], FreeDeleter>;

// The stream buffer handed to the chunk sources, which may grow it.
using ByteBuffer = HeapArray<uint8_t>;

// `count` zeroed elements, or null when the size overflows or memory is short.
template <typename T>
[[nodiscard]] HeapArray<T> allocZeroed(size_t count) {
  if (count != 0 && count > SIZE_MAX / sizeof(T)) return nullptr;
  return HeapArray<T>(static_cast<T*>(std::calloc(count == 0 ? 1 : count, sizeof(T))));
}

// Resizes `block` to `count` elements keeping its content; on failure returns
// false and leaves `block` as it was.
template <typename T>
[[nodiscard]] bool resizeArray(HeapArray<T>& block, size_t count) {
  if (count > SIZE_MAX / sizeof(T)) return false;
  void* grown = std::realloc(block.get(), count == 0 ? 1 : count * sizeof(T));
  if (grown == nullptr) return false;
  (void)block.release();
  block.reset(static_cast<T*>(grown));
  return true;
}

// A new value-initialised record, or null when memory is short.
template <typename T>
[[nodiscard]] T* newRecord() {
  return new (std::nothrow) T{};
}

// Runs `work`, which allocates (strings, vectors); false when memory ran short
// on the way. Whatever `work` changed before that stays changed.
template <typename Work>
[[nodiscard]] bool tryAllocate(Work&& work) {
  try {
    work();
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// The pieces joined into one string, or nothing when memory is short.
[[nodiscard]] inline std::optional<std::string> joinText(std::initializer_list<std::string_view> pieces) {
  std::string joined;
  if (!tryAllocate([&] {
        for (std::string_view piece : pieces) joined.append(piece);
      })) {
    return std::nullopt;
  }
  return joined;
}

// A copy of `text`, or nothing when memory is short.
[[nodiscard]] inline std::optional<std::string> copyText(std::string_view text) { return joinText({text}); }

#endif  // ZTV_BASE_HEAP_H
