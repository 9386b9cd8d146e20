#include "server/tuner.h"

#include <ifaddrs.h>
#include <netpacket/packet.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/text.h"
#include "log/log.h"

namespace {

constexpr char kName[] = "zomaktvproxy";
constexpr char kMachineIdPath[] = "/etc/machine-id";
char gDeviceId[9] = "00000000";  // written once before the server starts

// The checksum of the tuner id: the four odd nibbles (counted from the
// highest) through this table and the four even ones as they are, all
// XORed, give 0.
constexpr uint8_t kChecksumTable[16] = {0xA, 0x5, 0xF, 0x6, 0x7, 0xC, 0x1, 0xB,
                                        0x9, 0x2, 0x8, 0xD, 0x4, 0x3, 0xE, 0x0};

uint8_t checksumOf(uint32_t id) {
  uint8_t sum = 0;
  for (int shift = 28; shift >= 0; shift -= 8) {
    sum ^= kChecksumTable[(id >> shift) & 0xF];
    sum ^= (id >> (shift - 4)) & 0xF;
  }
  return sum;
}

// FNV-1a, 32 bits: a stable hash with no table.
uint32_t hashOf(const void* bytes, size_t size, uint32_t hash = 2166136261u) {
  for (size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<const uint8_t*>(bytes)[i]) * 16777619u;
  return hash;
}

// The machine id's text; false without one.
bool machineSeed(uint32_t* seed) {
  FILE* file = fopen(kMachineIdPath, "re");
  if (file == nullptr) return false;
  char text[64] = {};
  const size_t got = fread(text, 1, sizeof text - 1, file);
  fclose(file);
  if (got < 8) return false;
  *seed = hashOf(text, got);
  return true;
}

// The lowest hardware address of the box's network cards (not the loopback's
// zeros): the same whatever order the system lists them in.
bool cardSeed(uint32_t* seed) {
  ifaddrs* cards = nullptr;
  if (getifaddrs(&cards) != 0) return false;
  uint8_t lowest[8] = {};
  bool found = false;
  for (const ifaddrs* card = cards; card != nullptr; card = card->ifa_next) {
    if (card->ifa_addr == nullptr || card->ifa_addr->sa_family != AF_PACKET) continue;
    const auto* link = reinterpret_cast<const sockaddr_ll*>(card->ifa_addr);
    uint8_t address[8] = {};
    memcpy(address, link->sll_addr, link->sll_halen < 8 ? link->sll_halen : 8);
    static const uint8_t kZero[8] = {};
    if (memcmp(address, kZero, 8) == 0 || (found && memcmp(address, lowest, 8) >= 0)) continue;
    memcpy(lowest, address, 8);
    found = true;
  }
  freeifaddrs(cards);
  if (found) *seed = hashOf(lowest, sizeof lowest);
  return found;
}

uint32_t derivedId(const char* address, int port) {
  uint32_t seed = 0;
  if (!machineSeed(&seed) && !cardSeed(&seed)) seed = hashOf(address, strlen(address));
  // Two proxies on one box (other ports) are two tuners.
  return deviceIdFrom(hashOf(&port, sizeof port, seed));
}

}  // namespace

bool deviceIdChecks(uint32_t id) { return checksumOf(id) == 0; }

uint32_t deviceIdFrom(uint32_t seed) {
  // The last nibble enters the sum as it is: setting it to the sum of the rest makes it 0.
  const uint32_t rest = seed & ~0xFu;
  return rest | checksumOf(rest);
}

bool tunerStart(const char* text, const char* address, int port) {
  if (text == nullptr) {
    snprintf(gDeviceId, sizeof gDeviceId, "%08X", static_cast<unsigned>(derivedId(address, port)));
    return true;
  }
  const bool hex = strlen(text) == 8 && madeOf(text, "0123456789abcdefABCDEF");
  const uint32_t id = hex ? static_cast<uint32_t>(strtoul(text, nullptr, 16)) : 0;
  if (!hex || !deviceIdChecks(id)) {
    Log(ERROR, "Invalid device id %s (8 hex digits with the tuner id checksum, %08X say), exiting!", text,
        static_cast<unsigned>(deviceIdFrom(hex ? id : 0x10000000u)));
    return false;
  }
  snprintf(gDeviceId, sizeof gDeviceId, "%08X", static_cast<unsigned>(id));
  return true;
}

const char* tunerDeviceId() { return gDeviceId; }

void writeDiscover(PageText* page, TextView base, int tuners) {
  pageFormat(page,
             "{\"FriendlyName\":\"%s\",\"Manufacturer\":\"%s\",\"ModelNumber\":\"%s\",\"FirmwareName\":\"%s\","
             "\"FirmwareVersion\":\"%s\",\"DeviceID\":\"%s\",\"DeviceAuth\":\"%s\",\"BaseURL\":\"",
             kName, kName, kName, kName, ZTV_VERSION, gDeviceId, kName);
  pageAddJson(page, base);
  pageAdd(page, "\",\"LineupURL\":\"");
  pageAddJson(page, base);
  pageFormat(page, "/lineup.json\",\"TunerCount\":%d}\n", tuners);
}

void writeLineup(PageText* page, TextView base, const ChannelList& list) {
  pageAdd(page, "[");
  for (int32_t i = 0; i < list.count; ++i) {
    const int id = static_cast<int>(list.channels[i].id);
    pageFormat(page, "%s\n{\"GuideNumber\":\"%d\",\"GuideName\":\"", i == 0 ? "" : ",", id);
    pageAddJson(page, channelName(list, i));
    pageAdd(page, "\",\"URL\":\"");
    pageAddJson(page, base);
    pageFormat(page, "/?id=%d&format=ts\"}", id);
  }
  pageAdd(page, "]\n");
}

void writeLineupStatus(PageText* page) {
  pageAdd(page, "{\"ScanInProgress\":0,\"ScanPossible\":1,\"Source\":\"Cable\",\"SourceList\":[\"Cable\"]}\n");
}

void writeDeviceXml(PageText* page, TextView base) {
  pageAdd(page,
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
          "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">\n"
          "<specVersion><major>1</major><minor>0</minor></specVersion>\n<URLBase>");
  pageAddXml(page, base);
  pageFormat(page,
             "</URLBase>\n<device>\n<deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType>\n"
             "<friendlyName>%s</friendlyName>\n<manufacturer>%s</manufacturer>\n<modelName>%s</modelName>\n",
             kName, kName, kName);
  pageFormat(page, "<modelNumber>%s</modelNumber>\n<serialNumber>%s</serialNumber>\n", ZTV_VERSION, gDeviceId);
  pageFormat(page, "<UDN>uuid:%s</UDN>\n</device>\n</root>\n", gDeviceId);
}
