#ifndef ZTV_SERVER_CHANNEL_LIST_H
#define ZTV_SERVER_CHANNEL_LIST_H

// The operator's channel list (--channels FILE), for the playlist, the
// tuner's lineup and the start page: one channel a line, its id (a whole
// number from 1) and its name (UTF-8, the rest of the line); a line whose
// first character other than a blank is '#' is a comment, blank lines are
// skipped. channelListStart reads it once at start; channelListHold hands
// out the list, read again first when the file's modification time or size
// has changed (a broken edit keeps the last good list and is logged once).
//
// Threads: a list is never changed once read. One lock (in channel_list.cpp)
// guards the current list's pointer, each list's count of holders and the
// look at the file (and a reload, a file of at most kChannelFileLimit
// bytes); a list is freed by whoever lets it go last, so a page is written
// from its list outside the lock while a reload swaps in the next.

#include <stddef.h>
#include <stdint.h>

#include "base/heap.h"
#include "base/text_view.h"

constexpr size_t kChannelFileLimit = 65536;  // bytes: a household's channels many times over
constexpr int32_t kMostChannels = 1000;      // so that every page of them stays well within its bound

struct Channel {
  int32_t id = 0;         // from 1
  uint32_t nameAt = 0;    // the name: `nameSize` bytes at this offset of the list's `text`
  uint32_t nameSize = 0;  // never 0
};

struct ChannelList {
  HeapArray<char> text;          // the file as read; the names point into it
  HeapArray<Channel> channels;   // `count` of them, in the file's order
  int32_t count = 0;
  int32_t holders = 0;           // the module's current pointer and each channelListHold; under the lock
};

// What is wrong with a channel file: the line (1 on; 0 for the file as a
// whole) and what, as a message names them.
struct ChannelListFault {
  int line = 0;
  char what[112] = {};  // empty when nothing is wrong
};

// The list `text` holds (copied), or null with `*fault` filled in (memory
// short included).
[[nodiscard]] ChannelList* parseChannelList(TextView text, ChannelListFault* fault);
void closeChannelList(ChannelList* list);  // accepts null; frees the list

// A channel's name, borrowed from `list`.
TextView channelName(const ChannelList& list, int32_t index);

// Reads the list at `path` (null: no list, empty) for the rest of the run;
// false when it cannot be used (logged with the file, the line and what is
// wrong). Call once, before the server starts.
[[nodiscard]] bool channelListStart(const char* path);

// The current list, read again first when its file has changed; never null
// (an empty list without --channels). Give it back with channelListLetGo.
ChannelList* channelListHold();
void channelListLetGo(ChannelList* list);

// Whether --channels named a file (the pages say how to fill an empty list).
bool channelListGiven();

#endif  // ZTV_SERVER_CHANNEL_LIST_H
