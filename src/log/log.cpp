#include "log/log.h"

#include <stdarg.h>
#include <string.h>

int32_t debuglevel = 1;
const char* const levels[] = {"CRIT", "ERROR", "WARNING", "INFO", "DEBUG", "DEBUG2"};
FILE* fmsg = nullptr;

namespace {

constexpr size_t kLineSize = 2048;  // the formatted text keeps at most kLineSize - 2 characters
constexpr int kDebugAll = 6;        // from this level on nothing is filtered

// Reading the fallback instead of storing it keeps the threads from racing on fmsg.
FILE* output() { return fmsg != nullptr ? fmsg : stderr; }

int format(char (&text)[kLineSize], const char* fmt, va_list args) {
  return vsnprintf(text, kLineSize - 1, fmt, args);
}

}  // namespace

FILE* LogSetOutput(FILE* stream) {
  fmsg = stream;
  return stream;
}

void Log(LogLevel level, const char* fmt, ...) {
  char text[kLineSize] = {};
  va_list args;
  va_start(args, fmt);
  format(text, fmt, args);
  va_end(args);

  if (debuglevel < kDebugAll && strstr(text, "no-name") != nullptr) return;
  if (static_cast<uint32_t>(level) > static_cast<uint32_t>(debuglevel)) return;
  fprintf(output(), "%s: %s\n", levels[level], text);
}

void LogPrintf(const char* fmt, ...) {
  char text[kLineSize] = {};
  va_list args;
  va_start(args, fmt);
  int length = format(text, fmt, args);
  va_end(args);

  if (debuglevel == 0) return;
  FILE* out = output();
  fputs(text, out);
  if (length >= 1 && length <= static_cast<int>(kLineSize) - 2 && text[length - 1] == '\n') {
    fflush(out);
  }
}
