#ifndef ZTV_BASE_HEAP_H
#define ZTV_BASE_HEAP_H

// The one way the program meets a failed allocation: as a result (null,
// false), never an abort or an exception crossing an operation. Heap blocks
// whose size comes from outside (a document, a tag body, the stream buffer)
// and records, all from malloc/calloc/realloc: the program has no C++
// runtime, so neither the library's operator new nor its smart pointers.

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

// The tag of our own placement form of operator new, so that records are
// built in calloc'ed memory without <new> (whose standard placement form
// must not be redefined: the tests include <new>).
struct RecordPlacement {};
inline void* operator new(size_t, RecordPlacement, void* at) noexcept { return at; }
inline void operator delete(void*, RecordPlacement, void*) noexcept {}

// A pointer with one owner whose destructor calls `Close` (a record's
// close... operation, or free for a heap block); null when there is none.
// Move-only.
template <typename T, auto Close>
class Owned {
 public:
  Owned() = default;
  explicit Owned(T* pointer) : pointer_(pointer) {}
  Owned(decltype(nullptr)) {}
  Owned(Owned&& other) noexcept : pointer_(other.release()) {}
  Owned& operator=(Owned&& other) noexcept {
    reset(other.release());
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { reset(); }

  T* get() const { return pointer_; }
  T* operator->() const { return pointer_; }
  T& operator*() const { return *pointer_; }
  T& operator[](size_t at) const { return pointer_[at]; }
  explicit operator bool() const { return pointer_ != nullptr; }
  bool operator==(decltype(nullptr)) const { return pointer_ == nullptr; }

  // Gives the pointer up without closing it.
  [[nodiscard]] T* release() {
    T* pointer = pointer_;
    pointer_ = nullptr;
    return pointer;
  }
  // Closes what is held (if anything) and holds `pointer` instead.
  void reset(T* pointer = nullptr) {
    T* old = pointer_;
    pointer_ = pointer;
    if (old != nullptr) Close(old);
  }

 private:
  T* pointer_ = nullptr;
};

inline void freeBlock(void* block) { free(block); }

// An owned, malloc'ed array of plain elements (their destructors are not
// run); null when there is none.
template <typename T>
using HeapArray = Owned<T, freeBlock>;

// The stream buffer handed to the chunk sources, which may grow it.
using ByteBuffer = HeapArray<uint8_t>;

// `count` zeroed elements, or null when the size overflows or memory is short.
template <typename T>
[[nodiscard]] HeapArray<T> allocZeroed(size_t count) {
  if (count != 0 && count > SIZE_MAX / sizeof(T)) return nullptr;
  return HeapArray<T>(static_cast<T*>(calloc(count == 0 ? 1 : count, sizeof(T))));
}

// Resizes `block` to `count` elements keeping its content; on failure returns
// false and leaves `block` as it was.
template <typename T>
[[nodiscard]] bool resizeArray(HeapArray<T>& block, size_t count) {
  if (count > SIZE_MAX / sizeof(T)) return false;
  void* grown = realloc(block.get(), count == 0 ? 1 : count * sizeof(T));
  if (grown == nullptr) return false;
  (void)block.release();
  block.reset(static_cast<T*>(grown));
  return true;
}

// A new value-initialised record in calloc'ed memory, or null when memory is
// short. Released with freeRecord.
template <typename T>
[[nodiscard]] T* newRecord() {
  void* block = calloc(1, sizeof(T));
  if (block == nullptr) return nullptr;
  return new (RecordPlacement{}, block) T{};
}

// Destroys a record made by newRecord and frees its memory; accepts null.
template <typename T>
void freeRecord(T* record) {
  if (record == nullptr) return;
  record->~T();
  free(record);
}

#endif  // ZTV_BASE_HEAP_H
