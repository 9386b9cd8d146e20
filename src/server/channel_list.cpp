#include "server/channel_list.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "base/heap_text.h"
#include "log/log.h"
#include "server/page_text.h"

namespace {

void setFault(ChannelListFault* fault, int line, const char* format, ...) __attribute__((format(printf, 3, 4)));
void setFault(ChannelListFault* fault, int line, const char* format, ...) {
  fault->line = line;
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(fault->what, sizeof fault->what, format, arguments);
  va_end(arguments);
}

bool isSpace(char c) { return c == ' ' || c == '\t'; }

TextView trimmed(TextView text) {
  while (!text.empty() && isSpace(text[0])) text = subText(text, 1);
  while (!text.empty() && isSpace(text[text.size - 1])) text = subText(text, 0, text.size - 1);
  return text;
}

// The name's fault, or null: it must be UTF-8 without control characters
// (a tab inside it is kept: the pages write it as a blank).
const char* nameFault(TextView name) {
  for (size_t at = 0; at < name.size;) {
    const size_t length = utf8Length(subText(name, at));
    if (length == 0) return "the name is not UTF-8";
    if (length == 1 && name[at] != '\t' && (static_cast<unsigned char>(name[at]) < 0x20 || name[at] == 0x7f)) {
      return "a control character in the name";
    }
    at += length;
  }
  return nullptr;
}

// One line that is not a comment or blank, into `*channel`; false with
// `*fault` filled in. `list` holds the channels of the lines before.
bool readLine(const ChannelList& list, TextView line, int number, Channel* channel, ChannelListFault* fault) {
  size_t digits = 0;
  while (digits < line.size && line[digits] >= '0' && line[digits] <= '9') ++digits;
  int64_t id = 0;
  for (size_t i = 0; i < digits && id <= INT32_MAX; ++i) id = id * 10 + (line[i] - '0');
  if (digits == 0 || (digits < line.size && !isSpace(line[digits]))) {
    setFault(fault, number, "no channel id (a whole number from 1) at the start of the line");
    return false;
  }
  if (id < 1 || id > INT32_MAX) {
    setFault(fault, number, "the channel id %.*s is not from 1 to 2147483647", static_cast<int>(digits), line.data);
    return false;
  }
  const TextView name = trimmed(subText(line, digits));
  if (name.empty()) {
    setFault(fault, number, "channel %d has no name", static_cast<int>(id));
    return false;
  }
  if (const char* wrong = nameFault(name)) {
    setFault(fault, number, "%s", wrong);
    return false;
  }
  for (int32_t i = 0; i < list.count; ++i) {
    if (list.channels[i].id == id) {
      setFault(fault, number, "channel %d is given twice", static_cast<int>(id));
      return false;
    }
  }
  *channel = {static_cast<int32_t>(id), static_cast<uint32_t>(name.data - list.text.get()),
              static_cast<uint32_t>(name.size)};
  return true;
}

// Every line of the list's text into its channels; false with `*fault`.
bool readLines(ChannelList* list, ChannelListFault* fault) {
  const TextView text(list->text.get(), __builtin_strlen(list->text.get()));
  int number = 0;
  for (size_t at = 0; at < text.size;) {
    size_t end = findChar(text, '\n', at);
    if (end == kNotFound) end = text.size;
    TextView line = subText(text, at, end - at);
    at = end + 1;
    ++number;
    if (endsWith(line, "\r")) line = subText(line, 0, line.size - 1);
    line = trimmed(line);
    if (line.empty() || line[0] == '#') continue;
    if (list->count == kMostChannels) {
      setFault(fault, number, "more than %d channels", static_cast<int>(kMostChannels));
      return false;
    }
    if (!readLine(*list, line, number, &list->channels[list->count], fault)) return false;
    ++list->count;
  }
  return true;
}

// The file's text, or false with `*fault` (line 0).
bool readChannelFile(const char* path, HeapText* text, ChannelListFault* fault) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  struct stat status {};
  if (fd < 0 || fstat(fd, &status) != 0) {
    setFault(fault, 0, "cannot be read (%s)", strerror(errno));
    if (fd >= 0) close(fd);
    return false;
  }
  constexpr size_t kRoom = kChannelFileLimit + 1;  // one byte more tells a file that is too long
  HeapArray<char> buffer = allocZeroed<char>(kRoom);
  size_t got = 0;
  ssize_t count = 0;
  while (buffer && got < kRoom && (count = read(fd, buffer.get() + got, kRoom - got)) > 0) got += static_cast<size_t>(count);
  const int readError = errno;
  close(fd);
  if (!buffer) setFault(fault, 0, "out of memory");
  else if (count < 0) setFault(fault, 0, "cannot be read (%s)", strerror(readError));
  else if (got > kChannelFileLimit) setFault(fault, 0, "is longer than %zu bytes", kChannelFileLimit);
  else if (memchr(buffer.get(), '\0', got) != nullptr) setFault(fault, 0, "holds a NUL byte: not a text file");
  else if (!copyText(text, TextView(buffer.get(), got))) setFault(fault, 0, "out of memory");
  else return true;
  return false;
}

// The module's state, all of it under `gLock`.
pthread_mutex_t gLock = PTHREAD_MUTEX_INITIALIZER;
HeapText gPath;                 // --channels; empty without it
ChannelList gEmpty;             // the list without --channels (never freed)
ChannelList* gCurrent = &gEmpty;
struct Stamp {
  int64_t seconds = -1, nanoseconds = 0, size = -1;  // -1 seconds: the file could not be looked at
  bool operator==(const Stamp&) const = default;
};
Stamp gSeen;  // the file as it was when last read (or found broken)

Stamp stampOf(const char* path) {
  struct stat status {};
  if (stat(path, &status) != 0) return {};
  return {static_cast<int64_t>(status.st_mtim.tv_sec), static_cast<int64_t>(status.st_mtim.tv_nsec),
          static_cast<int64_t>(status.st_size)};
}

void logFault(const char* path, const ChannelListFault& fault, const char* outcome) {
  if (fault.line > 0) Log(ERROR, "Channel list %s:%d: %s%s", path, fault.line, fault.what, outcome);
  else Log(ERROR, "Channel list %s %s%s", path, fault.what, outcome);
}

// The list at `path`, or null with `*fault`.
ChannelList* loadChannelList(const char* path, ChannelListFault* fault) {
  HeapText text;
  if (!readChannelFile(path, &text, fault)) return nullptr;
  return parseChannelList(text.view(), fault);
}

void letGoLocked(ChannelList* list) {
  if (list != &gEmpty && --list->holders == 0) closeChannelList(list);
}

// Reads the file again when it changed since it was last looked at.
void refreshLocked() {
  const Stamp now = stampOf(gPath.c_str());
  if (now == gSeen) return;
  gSeen = now;
  ChannelListFault fault;
  ChannelList* fresh = loadChannelList(gPath.c_str(), &fault);
  if (fresh == nullptr) {
    logFault(gPath.c_str(), fault, "; the last good list stays");
    return;
  }
  fresh->holders = 1;
  letGoLocked(gCurrent);
  gCurrent = fresh;
  LogPrintf("Channel list %s read again: %d channels\n", gPath.c_str(), static_cast<int>(fresh->count));
}

}  // namespace

ChannelList* parseChannelList(TextView text, ChannelListFault* fault) {
  *fault = {};
  ChannelList* list = newRecord<ChannelList>();
  if (list != nullptr) {
    list->text = allocZeroed<char>(text.size + 1);
    list->channels = allocZeroed<Channel>(kMostChannels);
  }
  if (list == nullptr || !list->text || !list->channels) {
    closeChannelList(list);
    setFault(fault, 0, "out of memory");
    return nullptr;
  }
  __builtin_memcpy(list->text.get(), text.data, text.size);
  if (readLines(list, fault)) return list;
  closeChannelList(list);
  return nullptr;
}

void closeChannelList(ChannelList* list) { freeRecord(list); }

TextView channelName(const ChannelList& list, int32_t index) {
  const Channel& channel = list.channels[index];
  return TextView(list.text.get() + channel.nameAt, channel.nameSize);
}

bool channelListStart(const char* path) {
  if (path == nullptr) return true;
  ChannelListFault fault;
  const Stamp stamp = stampOf(path);
  ChannelList* list = loadChannelList(path, &fault);
  if (list == nullptr) {
    logFault(path, fault, ", exiting!");
    return false;
  }
  pthread_mutex_lock(&gLock);
  const bool kept = copyText(&gPath, path);
  if (kept) {
    list->holders = 1;
    gCurrent = list;
    gSeen = stamp;
  }
  pthread_mutex_unlock(&gLock);
  if (!kept) closeChannelList(list);
  return kept;
}

ChannelList* channelListHold() {
  pthread_mutex_lock(&gLock);
  if (!gPath.empty()) refreshLocked();
  ChannelList* list = gCurrent;
  if (list != &gEmpty) ++list->holders;
  pthread_mutex_unlock(&gLock);
  return list;
}

void channelListLetGo(ChannelList* list) {
  if (list == nullptr) return;
  pthread_mutex_lock(&gLock);
  letGoLocked(list);
  pthread_mutex_unlock(&gLock);
}

bool channelListGiven() {
  pthread_mutex_lock(&gLock);
  const bool given = !gPath.empty();
  pthread_mutex_unlock(&gLock);
  return given;
}
