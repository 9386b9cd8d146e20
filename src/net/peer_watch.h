#ifndef ZTV_NET_PEER_WATCH_H
#define ZTV_NET_PEER_WATCH_H

// Tells a paused player from a vanished one while a send to it waits. A
// paused player closes its receive window but keeps answering the kernel's
// window probes; a vanished one (powered off, link gone) answers nothing, so
// its probes or retransmissions stay outstanding and no ACK comes. The
// kernel's TCP_INFO shows both. A timeout on unacknowledged data alone
// (TCP_USER_TIMEOUT) cannot tell them apart: it also counts the time that
// data waits behind a closed window. The wait asks once a second.

#include <stdint.h>

// What the kernel says about one connection.
struct PeerFigures {
  int known;              // 0: nothing usable (not TCP, or a short TCP_INFO from an old kernel or emulator)
  uint32_t probes;        // window probes sent since the peer last answered
  uint32_t retransmits;   // retransmissions of unacknowledged data since the peer last answered
  uint32_t lastAckAgoMs;  // ms since the peer's last ACK
};

// The state of one waiting send, kept between checks. Start with {-1, 0}.
struct PeerWatch {
  int64_t silentSinceMs;  // when the current run of unanswered checks began; -1 when none
  int64_t nextCheckMs;    // the next check is due at this clock time; 0 at once
};

// 1 when the peer has vanished: at `nowMs` it has acknowledged nothing for
// `windowMs`, and two probes or retransmissions in a row have been
// outstanding at every check for half that (a check that lands between a
// probe and its answer starts no such run). One unanswered probe is not
// enough: a single packet lost on the way to a paused player, or its answer
// lost, leaves the count at 1 until the next probe, up to 120 s later. Figures
// that are not known count as answered (the peer is kept).
int peerVanished(struct PeerWatch* watch, const struct PeerFigures* figures, int64_t nowMs, int64_t windowMs);

// The figures of TCP socket `fd`; known is 0 when the kernel has none.
void peerFiguresOf(int fd, struct PeerFigures* figures);

// Once a second at most: the figures of `fd` judged with the program's
// window. 1 when the peer has vanished.
int peerVanishedWhileWaiting(struct PeerWatch* watch, int fd, int64_t nowMs);

#endif  // ZTV_NET_PEER_WATCH_H
