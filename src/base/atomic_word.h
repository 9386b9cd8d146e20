#ifndef ZTV_BASE_ATOMIC_WORD_H
#define ZTV_BASE_ATOMIC_WORD_H

// The one kind of datum shared between threads (the server's state, the
// socket layer's interrupt flag): a 32-bit word read and written through the
// compiler's atomic builtins, since the C++ library's <atomic> does not come
// along to a player. Sequentially consistent, as the library's default is.

#include <stdint.h>

// A signal handler or a second thread may touch the word: it must never
// take a lock, on any of the 32-bit player CPUs either.
static_assert(__atomic_always_lock_free(sizeof(int32_t), 0), "a 32-bit word must be lock-free");

struct AtomicWord {
  int32_t value = 0;  // only through the operations below

  int32_t load() const { return __atomic_load_n(&value, __ATOMIC_SEQ_CST); }
  void store(int32_t next) { __atomic_store_n(&value, next, __ATOMIC_SEQ_CST); }
  // Adds `amount` to the word; its new value.
  int32_t add(int32_t amount) { return __atomic_add_fetch(&value, amount, __ATOMIC_SEQ_CST); }
  // Takes `amount` off the word; its new value.
  int32_t subtract(int32_t amount) { return __atomic_sub_fetch(&value, amount, __ATOMIC_SEQ_CST); }
  // Sets `desired` when the word holds `*expected`; otherwise false, with
  // the word's value in `*expected`.
  bool compareExchange(int32_t* expected, int32_t desired) {
    return __atomic_compare_exchange_n(&value, expected, desired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  }
};

#endif  // ZTV_BASE_ATOMIC_WORD_H
