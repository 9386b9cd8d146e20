#include "base/heap_text.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void HeapText::clear() {
  free(text_);
  forget();
}

bool joinTextArray(HeapText* into, const TextView* pieces, size_t count) {
  size_t size = 0;
  for (size_t i = 0; i < count; ++i) {
    if (pieces[i].size > kTextLimit - size) return false;
    size += pieces[i].size;
  }
  char* text = static_cast<char*>(malloc(size + 1));
  if (text == nullptr) return false;
  size_t at = 0;
  for (size_t i = 0; i < count; ++i) {
    memcpy(text + at, pieces[i].data, pieces[i].size);
    at += pieces[i].size;
  }
  text[size] = '\0';
  into->clear();
  into->text_ = text;
  into->size_ = size;
  return true;
}

bool formatTextList(HeapText* into, const char* format, va_list arguments) {
  va_list measuring;
  va_copy(measuring, arguments);
  const int length = vsnprintf(nullptr, 0, format, measuring);
  va_end(measuring);
  if (length < 0 || static_cast<size_t>(length) > kTextLimit) return false;
  char* text = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
  if (text == nullptr) return false;
  vsnprintf(text, static_cast<size_t>(length) + 1, format, arguments);
  into->clear();
  into->text_ = text;
  into->size_ = static_cast<size_t>(length);
  return true;
}

bool formatText(HeapText* into, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const bool made = formatTextList(into, format, arguments);
  va_end(arguments);
  return made;
}
