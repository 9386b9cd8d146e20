#include "log/log.h"

#include <pthread.h>
#include <stdarg.h>
#include <string.h>

int32_t debuglevel = 1;
const char* const levels[] = {"CRIT", "ERROR", "WARNING", "INFO", "DEBUG", "DEBUG2"};
FILE* fmsg = nullptr;

namespace {

constexpr size_t kLineSize = 2048;  // the formatted text keeps at most kLineSize - 2 characters
constexpr int kDebugAll = 6;        // from this level on nothing is filtered

// The last few error lines, for the status page: a ring under its own lock.
constexpr int kRecentErrors = 4;
constexpr size_t kRecentSize = 162;  // 160 characters, the newline and the NUL
pthread_mutex_t recentLock = PTHREAD_MUTEX_INITIALIZER;
char recent[kRecentErrors][kRecentSize];
uint32_t recentCount = 0;  // lines ever kept; the next goes to recentCount % kRecentErrors

void keepRecent(LogLevel level, const char* text) {
  pthread_mutex_lock(&recentLock);
  char* line = recent[recentCount % kRecentErrors];
  const int length = snprintf(line, kRecentSize - 1, "%s: %s", levels[level], text);
  const size_t end = length < 0 ? 0 : length < static_cast<int>(kRecentSize - 1) ? length : kRecentSize - 2;
  line[end] = '\n';
  line[end + 1] = '\0';
  ++recentCount;
  pthread_mutex_unlock(&recentLock);
}

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

  if (level <= ERROR) keepRecent(level, text);
  if (debuglevel < kDebugAll && strstr(text, "no-name") != nullptr) return;
  if (static_cast<uint32_t>(level) > static_cast<uint32_t>(debuglevel)) return;
  // Flushed at once: an operator tailing a log file sees a failure when it
  // happens, not when the next line pushes it out of the buffer.
  FILE* out = output();
  fprintf(out, "%s: %s\n", levels[level], text);
  fflush(out);
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

void LogRecentErrors(char* out, size_t size) {
  if (size == 0) return;
  out[0] = '\0';
  size_t used = 0;
  pthread_mutex_lock(&recentLock);
  const uint32_t first = recentCount > kRecentErrors ? recentCount - kRecentErrors : 0;
  for (uint32_t i = first; i < recentCount && used + 1 < size; ++i) {
    const int wrote = snprintf(out + used, size - used, "%s", recent[i % kRecentErrors]);
    used += wrote < 0 ? 0 : static_cast<size_t>(wrote);
  }
  pthread_mutex_unlock(&recentLock);
}
