#ifndef ZTV_BASE_HEAP_TEXT_H
#define ZTV_BASE_HEAP_TEXT_H

// Owned text: a NUL-terminated, malloc'ed string held by one owner, for the
// URLs, hosts, paths, tags and option values the program keeps. It is built
// only by the helpers below, each of which fails as a result (false, the
// text left as it was) when memory is short or the text would pass
// kTextLimit. Move-only; the destructor frees.
//
// One bound for the whole program: no text it keeps can be longer than the
// largest timeline document it accepts (a tag, a URL of it), and every other
// text (a request, a response header, an option) is far shorter, so a text
// past this bound can only come from a fault.

#include <stdarg.h>
#include <stddef.h>

#include "base/text_view.h"

constexpr size_t kTextLimit = 4194304;  // characters, the NUL not counted

class HeapText {
 public:
  HeapText() = default;
  HeapText(HeapText&& other) noexcept : text_(other.text_), size_(other.size_) { other.forget(); }
  HeapText& operator=(HeapText&& other) noexcept {
    if (this != &other) {
      clear();
      text_ = other.text_;
      size_ = other.size_;
      other.forget();
    }
    return *this;
  }
  HeapText(const HeapText&) = delete;
  HeapText& operator=(const HeapText&) = delete;
  ~HeapText() { clear(); }

  // The text, "" when there is none; valid until the text changes.
  const char* c_str() const { return text_ != nullptr ? text_ : ""; }
  // The text, or null when none is held: an empty text that was made is
  // held, so this tells "given as empty" from "not given".
  const char* get() const { return text_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  TextView view() const { return TextView(c_str(), size_); }

  friend bool operator==(const HeapText& text, TextView other) { return text.view() == other; }

  // Frees the text; empty afterwards.
  void clear();

 private:
  friend bool joinTextArray(HeapText* into, const TextView* pieces, size_t count);
  friend bool formatTextList(HeapText* into, const char* format, va_list arguments);
  void forget() {
    text_ = nullptr;
    size_ = 0;
  }

  char* text_ = nullptr;  // malloc'ed, NUL-terminated; null when empty
  size_t size_ = 0;       // characters before the NUL, at most kTextLimit
};

// Replaces `*into` by the pieces joined; false (into unchanged) when memory
// is short or the result would pass kTextLimit.
[[nodiscard]] bool joinTextArray(HeapText* into, const TextView* pieces, size_t count);

template <typename... Pieces>
[[nodiscard]] bool joinText(HeapText* into, const Pieces&... pieces) {
  const TextView views[] = {TextView(pieces)...};
  return joinTextArray(into, views, sizeof...(Pieces));
}

// Replaces `*into` by a copy of `text`; false (into unchanged) as joinText.
[[nodiscard]] inline bool copyText(HeapText* into, TextView text) { return joinTextArray(into, &text, 1); }

// Replaces `*into` by the printf-formatted text; false (into unchanged) as joinText.
[[nodiscard]] bool formatText(HeapText* into, const char* format, ...) __attribute__((format(printf, 2, 3)));
[[nodiscard]] bool formatTextList(HeapText* into, const char* format, va_list arguments);

#endif  // ZTV_BASE_HEAP_TEXT_H
