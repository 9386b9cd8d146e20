#ifndef ZTV_BASE_TEXT_VIEW_H
#define ZTV_BASE_TEXT_VIEW_H

// A borrowed run of characters (pointer and length) for the parsers: request
// lines, response headers, timeline tags. It replaces the C++ library's
// string view, whose sub-view throws (or traps without exceptions) on an
// out-of-range start: every helper here clamps instead, so no input can
// make a parser fail other than by its result.

#include <stddef.h>

// What the finders answer when there is no match.
constexpr size_t kNotFound = static_cast<size_t>(-1);

struct TextView {
  const char* data = "";  // never null; not NUL-terminated in general
  size_t size = 0;

  constexpr TextView() = default;
  constexpr TextView(const char* text, size_t length) : data(text), size(length) {}
  // A C string (up to its NUL); null is the empty view.
  constexpr TextView(const char* text) : data(text != nullptr ? text : ""), size(text != nullptr ? __builtin_strlen(text) : 0) {}
  // Anything with data() and size() (the tests hand in their own strings).
  template <typename Text>
    requires requires(const Text& text) {
      text.data();
      text.size();
    }
  constexpr TextView(const Text& text) : data(text.data()), size(text.size()) {}

  constexpr bool empty() const { return size == 0; }
  constexpr char operator[](size_t at) const { return data[at]; }

  friend constexpr bool operator==(TextView a, TextView b) {
    if (a.size != b.size) return false;
    for (size_t i = 0; i < a.size; ++i) {
      if (a.data[i] != b.data[i]) return false;
    }
    return true;
  }
};

// `length` characters from `start` on, both clamped to the view.
constexpr TextView subText(TextView text, size_t start, size_t length = kNotFound) {
  if (start > text.size) start = text.size;
  const size_t left = text.size - start;
  return TextView(text.data + start, length < left ? length : left);
}

constexpr bool startsWith(TextView text, TextView prefix) {
  return prefix.size <= text.size && subText(text, 0, prefix.size) == prefix;
}

constexpr bool endsWith(TextView text, TextView suffix) {
  return suffix.size <= text.size && subText(text, text.size - suffix.size) == suffix;
}

// The first position at or after `from` where `needle` starts, or kNotFound.
constexpr size_t findText(TextView text, TextView needle, size_t from = 0) {
  for (size_t at = from; at <= text.size && needle.size <= text.size - at; ++at) {
    if (subText(text, at, needle.size) == needle) return at;
  }
  return kNotFound;
}

// The first position at or after `from` of any character of `set`, or kNotFound.
constexpr size_t findAnyOf(TextView text, TextView set, size_t from = 0) {
  for (size_t at = from; at < text.size; ++at) {
    for (size_t i = 0; i < set.size; ++i) {
      if (text.data[at] == set.data[i]) return at;
    }
  }
  return kNotFound;
}

// One loop, not findAnyOf's two: the parsers call it for every character of a tag or header.
constexpr size_t findChar(TextView text, char wanted, size_t from = 0) {
  for (size_t at = from; at < text.size; ++at) {
    if (text.data[at] == wanted) return at;
  }
  return kNotFound;
}

// The view up to (not including) the first character of `set`, or all of it.
constexpr TextView cutAtAnyOf(TextView text, TextView set) { return subText(text, 0, findAnyOf(text, set)); }

#endif  // ZTV_BASE_TEXT_VIEW_H
