#ifndef ZTV_SERVER_TUNER_H
#define ZTV_SERVER_TUNER_H

// The box as a network tuner that media servers add by its address: its
// device id, and the documents they read (/discover.json, /lineup.json,
// /lineup_status.json, /device.xml), each written into a page. The id is
// 8 hex digits whose nibbles pass the tuner id checksum media servers
// verify; it is taken from --device-id or derived from what stays the same
// across restarts (the machine id, else a network card's address, else the
// listening address), and the listening port.

#include <stdint.h>

#include "server/channel_list.h"
#include "server/page_text.h"

// Sets the device id before the server starts: `text` (--device-id; null
// when not given) or one derived for `port`. False when `text` is not 8 hex
// digits with a right checksum (logged).
[[nodiscard]] bool tunerStart(const char* text, const char* address, int port);

// The id: 8 upper-case hex digits.
const char* tunerDeviceId();

// Whether `id`'s nibbles pass the checksum.
bool deviceIdChecks(uint32_t id);
// `seed` with its last nibble set so that the checksum passes.
uint32_t deviceIdFrom(uint32_t seed);

// The documents, for a box whose URLs begin with `base` ("http://host:port").
void writeDiscover(PageText* page, TextView base, int tuners);
void writeLineup(PageText* page, TextView base, const ChannelList& list);
void writeLineupStatus(PageText* page);
void writeDeviceXml(PageText* page, TextView base);

#endif  // ZTV_SERVER_TUNER_H
