#ifndef ZTV_BASE_TEXT_H
#define ZTV_BASE_TEXT_H

// Small readers of text from outside (request lines, response headers,
// timeline attributes) that every layer shares.

#include <stdint.h>

#include "base/text_view.h"

// The C locale's isspace, without its locale and sign pitfalls.
constexpr bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// `text` read as atoi reads it (leading blanks, an optional sign, decimal
// digits up to the first other character; 0 without digits), held to the
// signed 32-bit range instead of overflowing.
constexpr int32_t readClampedDecimal(TextView text) {
  size_t at = 0;
  while (at < text.size && isBlank(text[at])) ++at;
  bool negative = false;
  if (at < text.size && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  // A magnitude that stops growing once past 2^31, the largest one a sign can use.
  const int64_t cap = int64_t{INT32_MAX} + 1;
  int64_t magnitude = 0;
  for (; at < text.size && text[at] >= '0' && text[at] <= '9'; ++at) {
    magnitude = magnitude * 10 + (text[at] - '0');
    if (magnitude > cap) magnitude = cap;
  }
  if (negative) return static_cast<int32_t>(-magnitude);
  return magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(magnitude);
}

// The value of the first line of an HTTP header block whose field name is
// `name` (in any case): from behind the colon and its blanks to the end of
// the line; empty when there is none. The first line (request or status)
// is never taken for a field.
TextView headerField(TextView header, TextView name);

// Whether every character of `text` is one of `allowed`, and there is one.
bool madeOf(TextView text, const char* allowed);

#endif  // ZTV_BASE_TEXT_H
