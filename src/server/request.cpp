#include "server/request.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "base/heap.h"
#include "base/wait.h"
#include "log/log.h"
#include "net/peer_watch.h"
#include "net/resolve.h"
#include "net/socket.h"
#include "server/channel_table.h"
#include "server/http_request.h"
#include "server/other_answers.h"
#include "server/pages.h"
#include "server/status_page.h"
#include "stream/channel.h"
#include "stream/relay.h"
#include "stream/session.h"
#include "stream/ts_writer.h"

namespace {

constexpr int64_t kRequestWaitMs = 5000;
constexpr int64_t kNoLimit = -1;        // a player's sends wait as long as it answers (paused or not)
constexpr size_t kRequestSize = 2048;  // one receive of at most kRequestSize - 1 bytes
constexpr uint32_t kRelayCapacity = 262144;  // a relay reads what its source has, up to this

constexpr char kHeaderBlock[] =
    "\r\nServer: Zomak TV Proxy Server for Pendrake \r\nContent-Type: Video/MPEG \r\nConnection: close \r\n\r\n";
constexpr char kOkStatus[] = "HTTP/1.0 200 OK";
constexpr char kPartialStatus[] = "HTTP/1.0 206 Partial Content";
constexpr char kNotFoundStatus[] = "HTTP/1.0 404 File Not Found";
constexpr char kBadRequestStatus[] = "HTTP/1.0 400 Bad Request";
constexpr char kForbiddenStatus[] = "HTTP/1.0 403 Forbidden";
constexpr char kUnavailableStatus[] = "HTTP/1.0 503 Service Unavailable";
constexpr int64_t kRefusalWaitMs = 500;  // a refused player's request, then its answer: each this long at most

// The status line with the header block, the body's length when it is
// known (above 0) and the range it is of (a relay's 206); the result is not
// looked at, as the stream's own sends will notice a player that has gone.
void sendAnswer(int socket, const char* status, int64_t contentLength = 0, const char* contentRange = "",
                const char* headerBlock = kHeaderBlock) {
  char length[40] = "";
  if (contentLength > 0) snprintf(length, sizeof length, "\r\nContent-Length: %lld", static_cast<long long>(contentLength));
  char range[112] = "";  // "bytes " and three 20-digit numbers fit whole
  if (contentRange[0] != '\0') snprintf(range, sizeof range, "\r\nContent-Range: %s", contentRange);
  char answer[512];
  int size = snprintf(answer, sizeof answer, "%s%s%s%s", status, length, range, headerBlock);
  (void)socket_sendAll(socket, answer, static_cast<size_t>(size), kNoLimit);
}

// Up to five seconds, in whole steps that end the wait once a stop has come.
bool waitForRequest(ServerControl* server, int socket) {
  const int64_t deadlineMs = monotonicMs() + kRequestWaitMs;
  while (server->state.load() == Accepting && !passed(deadlineMs)) {
    const Step step = waitStep(socket, POLLIN, kNoDeadlineMs);
    if (step != Step::kNotYet) return step == Step::kReady;
  }
  return false;
}

// The status page's view of a stream: what it has sent, and (a channel's)
// which video.
void publishProgress(StreamSlot* slot, int32_t sent, ChannelSession* channel = nullptr) {
  pthread_mutex_lock(&slot->lock);
  slot->bytesSent += sent;
  if (channel != nullptr) {
    pthread_mutex_lock(&channel->lock);
    if (slot->videoPliid != channel->videoPliid || slot->video[0] == '\0') {
      memcpy(slot->video, channel->video, sizeof slot->video);
      slot->videoPliid = channel->videoPliid;
    }
    pthread_mutex_unlock(&channel->lock);
  }
  pthread_mutex_unlock(&slot->lock);
}

// A free slot for a stream of `request` from the player at `socket`, filled
// in; there is one for each stream the server lets run.
StreamSlot* takeSlot(ServerControl* server, int socket, const HttpRequest& request) {
  for (StreamSlot& slot : server->slots) {
    pthread_mutex_lock(&slot.lock);
    if (slot.inUse) {
      pthread_mutex_unlock(&slot.lock);
      continue;
    }
    slot.inUse = true;
    socket_peerText(socket, slot.player, sizeof slot.player);
    if (request.kind == RequestKind::Channel) {
      snprintf(slot.asked, sizeof slot.asked, "channel %d", request.channelId);
    } else {
      snprintf(slot.asked, sizeof slot.asked, "relay %.*s", static_cast<int>(request.url.size), request.url.data);
    }
    slot.channelId = request.kind == RequestKind::Channel ? request.channelId : 0;
    slot.video[0] = '\0';
    slot.videoPliid = 0;
    slot.startedMs = monotonicMs();
    slot.bytesSent = 0;
    pthread_mutex_unlock(&slot.lock);
    return &slot;
  }
  return nullptr;
}

void releaseSlot(StreamSlot* slot) {
  pthread_mutex_lock(&slot->lock);
  slot->inUse = false;
  pthread_mutex_unlock(&slot->lock);
}

// Logs why a send to the player failed.
void logSendFailure() {
  if (errno == ECANCELED) {
    Log(DEBUG, "%s, stopped while the player took no data", "receiveHttpData");
  } else {
    Log(ERROR, "%s, sending failed, error: %d", "receiveHttpData", errno);
  }
}

// A transport stream player's socket as its writer's sink: whole packets
// go out with the same send as the FLV form's units.
struct PlayerSink {
  int socket;
  int32_t sent;  // bytes of the current unit sent
};

bool sendPackets(void* context, const uint8_t* bytes, size_t length) {
  PlayerSink* sink = static_cast<PlayerSink*>(context);
  if (socket_sendAll(sink->socket, bytes, length, kNoLimit) < 0) return false;
  sink->sent += static_cast<int32_t>(length);
  return true;
}

// Sends one unit to the player, as it is or (with `writer`) as transport
// stream packets; the bytes sent, or -1 when the stream is over. A unit
// the writer cannot carry (of a source that was on air before the player
// came: the channel judges the sources it opens by its players' forms) is
// left out, logged once for each codec.
int32_t sendUnit(int socket, TsWriter* writer, const uint8_t* unit, int32_t size) {
  if (writer == nullptr) {
    if (socket_sendAll(socket, unit, static_cast<size_t>(size), kNoLimit) >= 0) return size;
    logSendFailure();
    return -1;
  }
  PlayerSink sink = {socket, 0};
  const uint8_t refused = writer->refusedCodec;
  const TsResult result = tsWriteUnit(writer, unit, static_cast<size_t>(size), {sendPackets, &sink});
  if (result == TsResult::kSinkFailed) {
    logSendFailure();
    return -1;
  }
  if (result != TsResult::kOk && writer->refusedCodec != refused) {
    Log(ERROR, "%s, MPEG-TS cannot use the %s of FLV codec %u; left out", "receiveHttpData",
        result == TsResult::kConfigUnusable ? "decoder configuration" : "tags",
        static_cast<unsigned>(writer->refusedCodec));
  }
  return sink.sent;
}

// Whether the stream to the player at `socket` is to end after a unit: its
// player vanished while its sends still fit into the socket's buffer (a
// paced channel fills it only over minutes), or a stop was requested.
bool streamEnds(ServerControl* server, int socket, PeerWatch* watch) {
  if (peerVanishedWhileWaiting(watch, socket, monotonicMs())) {
    Log(ERROR, "%s, sending failed, error: %d", "receiveHttpData", ETIMEDOUT);
    return true;
  }
  return server->state.load() != Accepting;
}

// Relays the source's body until it ends, a send fails or a stop has been
// requested (checked after each chunk). A player that takes nothing is
// waited for until it vanishes or a stop comes.
void pumpRelay(ServerControl* server, int socket, StreamSession** session, ByteBuffer* buffer, StreamSlot* slot) {
  PeerWatch watch = {-1, 0};
  for (;;) {
    const int32_t size = getTransparentPacket(session, buffer, kRelayCapacity);
    if (size <= 0 || *buffer == nullptr) return;
    const int32_t sent = sendUnit(socket, nullptr, buffer->get(), size);
    if (sent < 0) return;
    publishProgress(slot, sent);
    if (streamEnds(server, socket, &watch)) return;
  }
}

// Sends the channel's units to its player, as FLV or (with `writer`) as a
// transport stream, until the channel ends, a send fails or a stop comes;
// while the channel has nothing new, the player is watched all the same.
void pumpChannel(ServerControl* server, int socket, ChannelSession* channel, ChannelPlace* place,
                 TsWriter* writer, StreamSlot* slot) {
  PeerWatch watch = {-1, 0};
  for (;;) {
    const int32_t size = channelRead(channel, place, monotonicMs() + kWaitStepMs);
    if (size < 0) return;
    if (size > 0) {
      const int32_t sent = sendUnit(socket, writer, place->unit.get(), size);
      if (sent < 0) return;
      publishProgress(slot, sent, channel);
    }
    if (streamEnds(server, socket, &watch)) return;
  }
}

// A relay's session set up for the request, or null when memory is short.
StreamSession* openRelaySession(const HttpRequest& request) {
  StreamSession* session = openFLVStream();
  if (session == nullptr) return nullptr;
  if (!copyText(&session->videoUrl, request.url) ||
      (!request.range.empty() && !copyText(&session->playerRange, request.range))) {
    closeFLVStream(session);
    return nullptr;
  }
  return session;
}

// Answers a relay once its source is open (404 when it cannot be had, 403
// when it is this box itself and the player is elsewhere); false when the
// answer was not 200.
bool answerRelay(int socket, StreamSession* session, const char* path) {
  session->playerElsewhere = !socket_peerOnThisBox(socket);
  switch (openTransparentSource(session)) {
    case RelaySource::kOpen: {
      // The source's length, so that a player knows where the file ends,
      // and for a range the part of it that comes.
      const WebFileHandle& source = *session->source;
      const bool partial = source.status == 206 && !source.contentRange.empty();
      sendAnswer(socket, partial ? kPartialStatus : kOkStatus, source.contentLength,
                 partial ? source.contentRange.c_str() : "");
      return true;
    }
    case RelaySource::kRefused:
      LogPrintf("%s, Forbidden for a player elsewhere: this box's own address, %s\n", "receiveHttpData", path);
      sendAnswer(socket, kForbiddenStatus);
      return false;
    case RelaySource::kMissing:
      break;
  }
  LogPrintf("%s, File not found, %s\n", "receiveHttpData", path);
  sendAnswer(socket, kNotFoundStatus);
  return false;
}

// A channel's stream for its player: answered 200 at once, then fed from
// the channel's one upstream (opened by the channel's first player) in
// the player's form. A channel or writer that cannot be had ends it with
// the answer's header only.
void streamChannel(ServerControl* server, int socket, const HttpRequest& request, StreamSlot* slot) {
  sendAnswer(socket, kOkStatus, 0, "", channelHeaderBlock(request.format));
  const bool ts = request.format == StreamFormat::Ts;
  // A transport stream player's own writer: its packet buffer and state.
  TsWriter* writer = ts ? tsWriterOpen() : nullptr;
  ChannelPlace place;
  ChannelSession* channel = !ts || writer != nullptr ? joinChannel(server, request.channelId, ts, &place) : nullptr;
  if (channel == nullptr) {
    Log(ERROR, "%s, no memory for the stream", "receiveHttpData");
  } else {
    pumpChannel(server, socket, channel, &place, writer, slot);
    leaveChannel(server, channel, ts, &place);
  }
  tsWriterClose(writer);
}

// A relay for a request that holds one of the server's streams: answered
// once its source is open, and relayed until done.
void streamRelay(ServerControl* server, int socket, const HttpRequest& request, const char* path,
                 StreamSlot* slot) {
  ByteBuffer buffer = allocZeroed<uint8_t>(kRelayCapacity);
  StreamSession* session = buffer ? openRelaySession(request) : nullptr;
  if (session == nullptr) {
    Log(ERROR, "%s, no memory for the stream", "receiveHttpData");
    sendAnswer(socket, kNotFoundStatus);
    return;
  }
  if (answerRelay(socket, session, path)) {
    pthread_mutex_lock(&slot->lock);  // the status page shows what is relayed
    snprintf(slot->video, sizeof slot->video, "%s", session->videoUrl.c_str());
    pthread_mutex_unlock(&slot->lock);
    pumpRelay(server, socket, &session, &buffer, slot);
  }
  closeFLVStream(session);
}

// One of the server's streams for this request; false when every one is
// taken.
bool takeStream(ServerControl* server) {
  int32_t streams = server->streams.load();
  while (streams < server->players) {
    if (server->streams.compareExchange(&streams, streams + 1)) return true;
  }
  return false;
}

// A HEAD of a stream: the GET's status line and headers, and nothing
// fetched for a body. A channel's is known without its timeline; a relay's
// source is asked with HEAD. It holds none of the players' streams.
void answerHead(int socket, const HttpRequest& request, const char* path) {
  if (request.kind == RequestKind::Channel) {
    sendAnswer(socket, kOkStatus, 0, "", channelHeaderBlock(request.format));
    return;
  }
  StreamSession* session = openRelaySession(request);
  if (session == nullptr) {
    Log(ERROR, "%s, no memory for the stream", "receiveHttpData");
    sendAnswer(socket, kNotFoundStatus);
    return;
  }
  session->headOnly = true;
  (void)answerRelay(socket, session, path);
  closeFLVStream(session);
}

// Streams the request within the players' limit; beyond it, 503.
void streamRequest(ServerControl* server, int socket, const HttpRequest& request, const char* path) {
  if (!takeStream(server)) {
    LogPrintf("%s, Service unavailable: all %d players are served, %s\n", "receiveHttpData",
              static_cast<int>(server->players), path);
    sendAnswer(socket, kUnavailableStatus);
    return;
  }
  StreamSlot* slot = takeSlot(server, socket, request);
  if (slot != nullptr) {
    if (request.kind == RequestKind::Channel) {
      streamChannel(server, socket, request, slot);
    } else {
      streamRelay(server, socket, request, path, slot);
    }
    releaseSlot(slot);
  }
  server->streams.subtract(1);
}

void serveRequest(ServerControl* server, int socket) {
  if (!waitForRequest(server, socket)) return;
  leaveWaiting(server, socket);  // the request is there: no newer connection closes this one now
  char text[kRequestSize] = {};
  ssize_t received = recv(socket, text, kRequestSize - 1, 0);
  Log(DEBUG, "%s: Receive HTTP header:\n%s", "receiveHttpData", text);
  HttpRequest request = parseHttpRequest({text, received > 0 ? static_cast<size_t>(received) : 0});
  if (request.kind == RequestKind::Unsupported) {
    LogPrintf("%s: No request header received/unsupported method\n", "receiveHttpData");
    return;
  }
  if (request.kind == RequestKind::BadRequest) {
    // The target itself stays out of the log: its bytes could forge lines there.
    LogPrintf("%s, Bad request: a control byte in the request target\n", "receiveHttpData");
    sendAnswer(socket, kBadRequestStatus);
    return;
  }
  // The path ends at a blank or at the text's NUL; ending it with a NUL
  // makes it a C string inside `text`.
  text[request.path.data - text + request.path.size] = '\0';
  const char* path = request.path.data;
  Log(DEBUG, "%s: Request header: %s", "receiveHttpData", path);
  if (request.kind == RequestKind::NotFound) {
    LogPrintf("%s, File not found, %s\n", "receiveHttpData", path);
    sendAnswer(socket, kNotFoundStatus);
    return;
  }
  if (request.kind == RequestKind::Status) {
    answerStatus(server, socket, request.head);
    return;
  }
  if (answerBesidesStreams(server, socket, request, {text, received > 0 ? static_cast<size_t>(received) : 0})) return;
  if (request.head) {
    answerHead(socket, request, path);
    return;
  }
  streamRequest(server, socket, request, path);
}

}  // namespace

void receiveHttpData(ServerControl* server, int socket) {
  // Only while Accepting: a stop that came since the accept closes the
  // connection unserved.
  if (server->state.load() == Accepting) serveRequest(server, socket);
  leaveWaiting(server, socket);  // before the close, which frees the descriptor's number for another
  close(socket);
  resolveLetGo();  // a name look-up the stream gave up on frees itself when it ends
}

void refuseConnection(ServerControl* server, int socket) {
  // The request is read first: a socket closed with unread data resets the
  // connection, and the player might never see the answer.
  char text[kRequestSize];
  if (waitStep(socket, POLLIN, monotonicMs() + kRefusalWaitMs) == Step::kReady) {
    (void)recv(socket, text, sizeof text, MSG_DONTWAIT);
  }
  LogPrintf("%s, Service unavailable: all %d players are served\n", "receiveHttpData",
            static_cast<int>(server->players));
  char answer[512];
  const int size = snprintf(answer, sizeof answer, "%s%s", kUnavailableStatus, kHeaderBlock);
  (void)socket_sendAll(socket, answer, static_cast<size_t>(size), kRefusalWaitMs);
  close(socket);
}
