#include "server/page_text.h"

#include <stdarg.h>
#include <stdio.h>

namespace {

constexpr size_t kFirstCapacity = 4096;
constexpr TextView kReplacement = "\xEF\xBF\xBD";  // U+FFFD, for bytes that are not UTF-8

// Room for `more` bytes and the NUL behind them; false (the page failed)
// when that would pass kPageLimit or memory is short.
bool makeRoom(PageText* page, size_t more) {
  if (page->failed) return false;
  const size_t needed = page->used + more + 1;
  if (needed <= page->capacity) return true;
  size_t capacity = page->capacity == 0 ? kFirstCapacity : page->capacity;
  while (capacity < needed && capacity < kPageLimit) capacity *= 2;
  if (capacity > kPageLimit) capacity = kPageLimit;
  const bool grown = needed <= capacity && (page->text ? resizeArray(page->text, capacity)
                                                      : (page->text = allocZeroed<char>(capacity)) != nullptr);
  if (!grown) {
    page->failed = true;
    return false;
  }
  page->capacity = capacity;
  return true;
}

bool isControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

// What stands for `c` in a language: its replacement, or an empty view to
// keep it. `scratch` holds a replacement made on the spot.
using Replace = TextView (*)(char c, char (&scratch)[8]);

TextView htmlFor(char c, char (&)[8]) {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&#39;";
    default: return isControl(c) ? " " : "";
  }
}

TextView xmlFor(char c, char (&)[8]) {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&apos;";
    default: return isControl(c) ? " " : "";  // XML 1.0 has no way to write them
  }
}

TextView jsonFor(char c, char (&scratch)[8]) {
  switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    default: break;
  }
  if (static_cast<unsigned char>(c) >= 0x20) return "";
  snprintf(scratch, sizeof scratch, "\\u%04x", static_cast<unsigned>(c));
  return scratch;
}

// M3U has no escapes: a double quote would end a tvg-name, a line break the entry.
TextView m3uFor(char c, char (&)[8]) {
  if (c == '"') return "'";
  return isControl(c) ? " " : "";
}

void addEscaped(PageText* page, TextView text, Replace replace) {
  for (size_t at = 0; at < text.size && !page->failed;) {
    const size_t length = utf8Length(subText(text, at));
    if (length != 1) {
      pageAdd(page, length == 0 ? kReplacement : subText(text, at, length));
      at += length == 0 ? 1 : length;
      continue;
    }
    char scratch[8];
    const TextView with = replace(text[at], scratch);
    pageAdd(page, with.empty() ? subText(text, at, 1) : with);
    ++at;
  }
}

bool isContinuation(TextView text, size_t at) {
  return at < text.size && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
}

}  // namespace

size_t utf8Length(TextView text) {
  if (text.empty()) return 0;
  const unsigned char lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) return 1;
  const size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                        : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
  for (size_t i = 1; i < length; ++i) {
    if (!isContinuation(text, i)) return 0;
  }
  if (length < 3) return length;
  const unsigned char second = static_cast<unsigned char>(text[1]);
  // Overlong forms, the surrogates and what lies beyond U+10FFFF.
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) || (lead == 0xF0 && second < 0x90) ||
      (lead == 0xF4 && second > 0x8F)) {
    return 0;
  }
  return length;
}

void pageAdd(PageText* page, TextView text) {
  if (!makeRoom(page, text.size)) return;
  __builtin_memcpy(page->text.get() + page->used, text.data, text.size);
  page->used += text.size;
  page->text[page->used] = '\0';
}

void pageFormat(PageText* page, const char* format, ...) {
  char line[256];  // numbers and the page's own short texts
  va_list arguments;
  va_start(arguments, format);
  const int wrote = vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  if (wrote < 0 || static_cast<size_t>(wrote) >= sizeof line) {
    page->failed = true;
    return;
  }
  pageAdd(page, TextView(line, static_cast<size_t>(wrote)));
}

void pageAddHtml(PageText* page, TextView text) { addEscaped(page, text, htmlFor); }
void pageAddJson(PageText* page, TextView text) { addEscaped(page, text, jsonFor); }
void pageAddXml(PageText* page, TextView text) { addEscaped(page, text, xmlFor); }
void pageAddM3u(PageText* page, TextView text) { addEscaped(page, text, m3uFor); }

void pageAddWithoutQueries(PageText* page, TextView text, void (*escape)(PageText*, TextView)) {
  while (!text.empty()) {
    const size_t mark = findChar(text, '?');
    escape(page, subText(text, 0, mark));
    text = subText(text, mark);
    text = subText(text, findAnyOf(text, " \t\r\n"));
  }
}
