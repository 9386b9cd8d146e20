#include "base/text.h"

#include <string.h>

TextView headerField(TextView header, TextView name) {
  const char* const end = header.data + header.size;
  for (const char* line = header.data; line < end; ++line) {
    if (*line != '\n') continue;
    const char* at = line + 1;
    if (static_cast<size_t>(end - at) <= name.size || at[name.size] != ':') continue;
    // Field names are letters, digits and dashes: one bit tells the case.
    size_t same = 0;
    while (same < name.size && (at[same] | 0x20) == (name[same] | 0x20)) ++same;
    if (same < name.size) continue;
    at += name.size + 1;
    while (at < end && (*at == ' ' || *at == '\t')) ++at;
    const char* stop = at;
    while (stop < end && *stop != '\r' && *stop != '\n') ++stop;
    return TextView(at, static_cast<size_t>(stop - at));
  }
  return {};
}

bool madeOf(TextView text, const char* allowed) {
  if (text.empty()) return false;
  for (size_t i = 0; i < text.size; ++i) {
    if (text[i] == '\0' || strchr(allowed, text[i]) == nullptr) return false;
  }
  return true;
}
