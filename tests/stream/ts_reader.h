#ifndef ZTV_TESTS_STREAM_TS_READER_H
#define ZTV_TESTS_STREAM_TS_READER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tsread {

// A transport stream read back, apart from the writer: the packets'
// grammar, continuity per PID, the tables (CRC checked), the PCRs and the
// PES packets with their timestamps. The first fault is kept.

struct Pes {
  uint16_t pid = 0;
  size_t packet = 0;          // index of its first packet
  bool randomAccess = false;  // flagged in that packet's adaptation field
  uint64_t pts = 0;
  std::optional<uint64_t> dts;
  std::string es;             // the payload after the PES header
};

struct Table {
  size_t packet = 0;
  uint16_t pid = 0;
  uint8_t tableId = 0;
  uint8_t version = 0;
  std::map<uint16_t, uint8_t> streams;  // PMT: elementary PID -> stream type
};

struct TsDump {
  size_t packets = 0;
  std::vector<Pes> pes;
  std::vector<Table> tables;
  std::vector<std::pair<size_t, uint64_t>> pcrs;  // packet index, 90 kHz base
  size_t pcrOnly = 0;                               // packets of an adaptation field alone
  std::string fault;

  std::vector<const Pes*> of(uint16_t pid) const {
    std::vector<const Pes*> out;
    for (const Pes& p : pes) {
      if (p.pid == pid) out.push_back(&p);
    }
    return out;
  }

  // The stream opens as a player that joins needs it: the PAT in the first
  // packet, a PMT in the second.
  bool opensWithTables() const {
    return tables.size() >= 2 && tables[0].packet == 0 && tables[0].tableId == 0 && tables[1].packet == 1 &&
           tables[1].tableId == 2;
  }
};

constexpr uint16_t kVideoPid = 0x100, kAudioPid = 0x101;

inline uint8_t u8(const std::string& b, size_t at) { return static_cast<uint8_t>(b.at(at)); }

inline uint32_t mpegCrc(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFF;
  for (char c : bytes) {
    for (int bit = 7; bit >= 0; --bit) {
      const bool in = ((static_cast<uint8_t>(c) >> bit) & 1) != 0;
      const bool top = (crc >> 31) != 0;
      crc <<= 1;
      if (in != top) crc ^= 0x04C11DB7;
    }
  }
  return crc;
}

inline uint64_t readClock(const std::string& b, size_t at) {
  return (uint64_t{u8(b, at)} >> 1 & 7) << 30 | uint64_t{u8(b, at + 1)} << 22 | uint64_t{u8(b, at + 2)} >> 1 << 15 |
         uint64_t{u8(b, at + 3)} << 7 | u8(b, at + 4) >> 1;
}

class TsReader {
 public:
  TsDump read(const std::string& stream) {
    if (stream.size() % 188 != 0) fail("length " + std::to_string(stream.size()) + " is not whole packets");
    for (size_t at = 0; at + 188 <= stream.size(); at += 188) packet(stream.substr(at, 188));
    while (!open_.empty()) finishPes(open_.begin()->first);
    // In the order they began (a video PES ends only where the next begins).
    std::sort(dump_.pes.begin(), dump_.pes.end(), [](const Pes& a, const Pes& b) { return a.packet < b.packet; });
    return std::move(dump_);
  }

 private:
  void fail(const std::string& why) {
    if (dump_.fault.empty()) dump_.fault = "packet " + std::to_string(dump_.packets) + ": " + why;
  }

  void packet(const std::string& p) {
    if (u8(p, 0) != 0x47) fail("no sync byte");
    const uint16_t pid = (u8(p, 1) & 0x1F) << 8 | u8(p, 2);
    const bool start = (u8(p, 1) & 0x40) != 0;
    const uint8_t control = u8(p, 3) >> 4 & 3, cc = u8(p, 3) & 0x0F;
    const bool payload = (control & 1) != 0;
    continuity(pid, cc, payload);
    size_t at = 4;
    bool randomAccess = false;
    dump_.pcrOnly += control == 2;
    if ((control & 2) != 0) {
      const size_t length = u8(p, 4);
      if (length > (payload ? 182u : 183u)) fail("adaptation field of " + std::to_string(length));
      if (length > 0) {
        const uint8_t flags = u8(p, 5);
        randomAccess = (flags & 0x40) != 0;
        if ((flags & 0x80) != 0) fail("discontinuity indicator");
        if ((flags & 0x10) != 0) {  // the base: 33 bits, then 6 reserved and the 9-bit extension
          dump_.pcrs.push_back({dump_.packets, uint64_t{u8(p, 6)} << 25 | uint64_t{u8(p, 7)} << 17 |
                                                   uint64_t{u8(p, 8)} << 9 | uint64_t{u8(p, 9)} << 1 | u8(p, 10) >> 7});
        }
      }
      at = 5 + length;
    }
    if (payload && at < 188) data(pid, start, randomAccess, p.substr(at));
    ++dump_.packets;
  }

  void continuity(uint16_t pid, uint8_t cc, bool payload) {
    auto last = counters_.find(pid);
    if (last != counters_.end()) {
      const uint8_t want = payload ? (last->second + 1) & 0x0F : last->second;
      if (cc != want) fail("PID " + std::to_string(pid) + " counter " + std::to_string(cc) + ", expected " + std::to_string(want));
    }
    if (payload || last != counters_.end()) counters_[pid] = cc;
  }

  void data(uint16_t pid, bool start, bool randomAccess, const std::string& bytes) {
    if (pid == 0 || pid == pmtPid_) return section(pid, start, bytes);
    if (start) {
      finishPes(pid);
      open_[pid] = Pes{pid, dump_.packets, randomAccess, 0, std::nullopt, bytes};
    } else if (open_.count(pid) != 0) {
      open_[pid].es += bytes;
    } else {
      fail("payload without a PES start on PID " + std::to_string(pid));
    }
  }

  void section(uint16_t pid, bool start, const std::string& bytes) {
    if (!start || u8(bytes, 0) != 0) return fail("table not at a packet's start");
    const size_t length = ((u8(bytes, 2) & 0x0F) << 8 | u8(bytes, 3)) + 3;
    const std::string s = bytes.substr(1, length);
    if (mpegCrc(s.substr(0, length - 4)) != (uint32_t{u8(s, length - 4)} << 24 | u8(s, length - 3) << 16 |
                                             u8(s, length - 2) << 8 | u8(s, length - 1))) {
      fail("table CRC");
    }
    if (bytes.find_first_not_of('\xFF', 1 + length) != std::string::npos) fail("table not followed by 0xFF");
    Table t{dump_.packets, pid, u8(s, 0), static_cast<uint8_t>(u8(s, 5) >> 1 & 0x1F), {}};
    if (t.tableId == 0) pmtPid_ = (u8(s, 10) & 0x1F) << 8 | u8(s, 11);
    for (size_t at = 12; t.tableId == 2 && at + 5 <= length - 4; at += 5) {
      t.streams[(u8(s, at + 1) & 0x1F) << 8 | u8(s, at + 2)] = u8(s, at);
    }
    dump_.tables.push_back(t);
  }

  void finishPes(uint16_t pid) {
    auto it = open_.find(pid);
    if (it == open_.end()) return;
    Pes pes = std::move(it->second);
    open_.erase(it);
    const std::string& b = pes.es;
    if (b.size() < 14 || b.compare(0, 3, std::string("\0\0\1", 3)) != 0) return fail("PES without a header");
    const size_t declared = u8(b, 4) << 8 | u8(b, 5);
    if (declared != 0 && declared != b.size() - 6) fail("PES length " + std::to_string(declared) + " for " + std::to_string(b.size() - 6));
    const uint8_t flags = u8(b, 7) >> 6;
    if (flags == 0 || flags == 1) return fail("PES without PTS");
    pes.pts = readClock(b, 9);
    if (flags == 3) pes.dts = readClock(b, 14);
    pes.es = b.substr(9 + u8(b, 8));
    dump_.pes.push_back(std::move(pes));
  }

  TsDump dump_;
  std::map<uint16_t, uint8_t> counters_;
  std::map<uint16_t, Pes> open_;
  uint16_t pmtPid_ = 0xFFFF;
};

inline TsDump readTs(const std::string& stream) { return TsReader().read(stream); }

}  // namespace tsread

#endif  // ZTV_TESTS_STREAM_TS_READER_H
