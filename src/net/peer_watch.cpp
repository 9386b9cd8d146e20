#include "net/peer_watch.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>

// How long a player may acknowledge nothing, two probes or retransmissions
// in a row unanswered, before it is let go. A player that vanishes
// mid-stream is let go after this long (its retransmissions come every
// fraction of a second at first); one that vanishes during a pause half of
// it after its second unanswered probe: with the kernel's probes backing off
// to 120 s apart, within about 4 minutes 10 s. Test builds shorten it so that
// a pause can outlast it cheaply.
#ifndef ZTV_PEER_VANISH_MS
#define ZTV_PEER_VANISH_MS 20000
#endif

namespace {

const int64_t kCheckEveryMs = 1000;

// Two in a row: the second went out after the first had its chance.
const uint32_t kUnansweredInARow = 2;

int unanswered(const PeerFigures* figures) {
  return figures->known && (figures->probes >= kUnansweredInARow || figures->retransmits >= kUnansweredInARow);
}

}  // namespace

int peerVanished(PeerWatch* watch, const PeerFigures* figures, int64_t nowMs, int64_t windowMs) {
  if (!unanswered(figures)) {
    watch->silentSinceMs = -1;
    return 0;
  }
  if (watch->silentSinceMs < 0) watch->silentSinceMs = nowMs;
  return nowMs - watch->silentSinceMs >= windowMs / 2 && figures->lastAckAgoMs >= windowMs;
}

void peerFiguresOf(int fd, PeerFigures* figures) {
  struct tcp_info info;
  socklen_t size = sizeof info;
  memset(&info, 0, sizeof info);
  memset(figures, 0, sizeof *figures);
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return;
  if (size < offsetof(struct tcp_info, tcpi_last_ack_recv) + sizeof info.tcpi_last_ack_recv) return;
  figures->known = 1;
  figures->probes = info.tcpi_probes;
  figures->retransmits = info.tcpi_retransmits;
  figures->lastAckAgoMs = info.tcpi_last_ack_recv;
}

int peerVanishedWhileWaiting(PeerWatch* watch, int fd, int64_t nowMs) {
  if (nowMs < watch->nextCheckMs) return 0;
  watch->nextCheckMs = nowMs + kCheckEveryMs;
  PeerFigures figures;
  peerFiguresOf(fd, &figures);
  return peerVanished(watch, &figures, nowMs, ZTV_PEER_VANISH_MS);
}
