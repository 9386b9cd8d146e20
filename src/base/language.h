#ifndef ZTV_BASE_LANGUAGE_H
#define ZTV_BASE_LANGUAGE_H

// The few generic helpers the C++ library would otherwise bring along
// (<algorithm>, <utility>). The program is built against the C headers
// alone, so that it links on a player's small C library without any part
// of a C++ library; these are their whole replacement.

// The smaller / larger of two values of one type.
template <typename T>
constexpr T minOf(T a, T b) {
  return b < a ? b : a;
}
template <typename T>
constexpr T maxOf(T a, T b) {
  return a < b ? b : a;
}

// `value` held to [low, high] (low <= high).
template <typename T>
constexpr T clampTo(T value, T low, T high) {
  return value < low ? low : high < value ? high : value;
}

// Hands `value` on to a move constructor or move assignment.
template <typename T>
constexpr T&& moved(T& value) noexcept {
  return static_cast<T&&>(value);
}

#endif  // ZTV_BASE_LANGUAGE_H
