#ifndef ZTV_SERVER_PAGE_TEXT_H
#define ZTV_SERVER_PAGE_TEXT_H

// The pages for people and tools (the start page, the playlist, the tuner's
// JSON and XML, the status in JSON) are written into one PageText: a heap
// buffer that grows up to kPageLimit. Fixed text goes in with pageAdd or
// pageFormat; anything the operator or a player wrote goes in through the
// one escaping helper of the page's language, so that no name can break
// the page. A page that did not fit (or met a short memory) is `failed`,
// and is not sent.

#include <stddef.h>

#include "base/heap.h"
#include "base/text_view.h"

// A page larger than this is a fault of the channel list (thousands of
// channels): it is refused rather than grown on a small box.
constexpr size_t kPageLimit = 1048576;

struct PageText {
  HeapArray<char> text;   // the page so far, NUL-terminated once anything is in; null before
  size_t used = 0;        // bytes written, the NUL not counted
  size_t capacity = 0;    // bytes `text` holds
  bool failed = false;    // something did not fit or memory was short: nothing more is written
};

// Appends `text` as it stands (the page's own markup).
void pageAdd(PageText* page, TextView text);
// Appends the printf-formatted text (numbers; texts only when they are the page's own).
void pageFormat(PageText* page, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Appends `text` escaped for each language: an HTML text or attribute
// value, a JSON string's content, an XML text or attribute value, an M3U
// name (attribute value or title: no line break, no double quote). Bytes
// that are not UTF-8 become U+FFFD, control characters a blank (JSON
// escapes them).
void pageAddHtml(PageText* page, TextView text);
void pageAddJson(PageText* page, TextView text);
void pageAddXml(PageText* page, TextView text);
void pageAddM3u(PageText* page, TextView text);

// Appends `text` through `escape` (as it stands by default), without the
// query of any URL in it (from a '?' to the next blank or line end): a
// signed URL's token and a relayed URL's secrets stay with the box, and the
// path still names the file.
void pageAddWithoutQueries(PageText* page, TextView text, void (*escape)(PageText*, TextView) = pageAdd);

// The length of the UTF-8 character that starts `text` (1 for ASCII, 2
// to 4), or 0 when the bytes there are not one (a stray or cut sequence,
// an overlong form, a surrogate, beyond U+10FFFF).
size_t utf8Length(TextView text);

#endif  // ZTV_SERVER_PAGE_TEXT_H
