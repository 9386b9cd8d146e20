#include "server/pages.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <stdio.h>
#include <string.h>

#include "base/clock.h"
#include "base/text.h"
#include "log/log.h"
#include "net/socket.h"
#include "server/channel_list.h"
#include "server/page_text.h"
#include "server/status_page.h"
#include "server/tuner.h"

namespace {

constexpr int64_t kSendLimitMs = 5000;
constexpr size_t kLongestHostName = 253;
constexpr char kNameCharacters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-";

// ":1".. ":65535", or nothing.
bool isPortSuffix(TextView rest) {
  if (rest.empty()) return true;
  const TextView digits = subText(rest, 1);
  return rest[0] == ':' && digits.size <= 5 && madeOf(digits, "0123456789") &&
         readClampedDecimal(digits) >= 1 && readClampedDecimal(digits) <= 65535;
}

bool isWellFormedHost(TextView host) {
  if (startsWith(host, "[")) {
    const size_t close = findChar(host, ']');
    if (close == kNotFound) return false;
    const TextView address = subText(host, 1, close - 1);
    return address.size <= 45 && findChar(address, ':') != kNotFound &&
           madeOf(address, "0123456789abcdefABCDEF:.") && isPortSuffix(subText(host, close + 1));
  }
  const size_t colon = findChar(host, ':');
  const TextView name = subText(host, 0, colon);
  return name.size <= kLongestHostName && madeOf(name, kNameCharacters) &&
         isPortSuffix(colon == kNotFound ? TextView() : subText(host, colon));
}

// The address `socket` was accepted on, with its port.
void acceptedAddress(int socket, char* out, size_t size) {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  char text[INET6_ADDRSTRLEN] = "0.0.0.0";
  int port = 0;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) == 0 && local.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(local);
    inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    snprintf(out, size, "[%s]:%d", text, ntohs(v6.sin6_port));
    return;
  }
  if (local.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(local);
    inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    port = ntohs(v4.sin_port);
  }
  snprintf(out, size, "%s:%d", text, port);
}

const char* contentTypeOf(RequestKind kind) {
  switch (kind) {
    case RequestKind::StartPage: return "text/html; charset=utf-8";
    case RequestKind::Playlist: return "audio/x-mpegurl";
    case RequestKind::DeviceXml: return "text/xml; charset=utf-8";
    case RequestKind::LineupPost: return "text/plain";
    default: return "application/json";
  }
}

// Sends the page (only its header for a HEAD), or 500 when it could not be made.
void sendPage(int socket, const HttpRequest& request, const PageText& page) {
  char header[320];
  const int size =
      page.failed
          ? snprintf(header, sizeof header,
                     "HTTP/1.0 500 Internal Server Error\r\nServer: Zomak TV Proxy Server for Pendrake \r\n"
                     "Content-Length: 0 \r\nConnection: close \r\n\r\n")
          : snprintf(header, sizeof header,
                     "HTTP/1.0 200 OK\r\nServer: Zomak TV Proxy Server for Pendrake \r\nContent-Type: %s \r\n"
                     "Content-Length: %zu \r\nConnection: close \r\n\r\n",
                     contentTypeOf(request.kind), page.used);
  if (page.failed) {
    Log(ERROR, "%s, the page %.*s does not fit into %zu bytes", "receiveHttpData", static_cast<int>(request.path.size),
        request.path.data, kPageLimit);
  }
  if (socket_sendAll(socket, header, static_cast<size_t>(size), kSendLimitMs) < 0) return;
  if (!request.head && !page.failed && page.used > 0) (void)socket_sendAll(socket, page.text.get(), page.used, kSendLimitMs);
}

// ---- The playlist -------------------------------------------------------

void writePlaylist(PageText* page, TextView base, const ChannelList& list, StreamFormat format) {
  pageAdd(page, "#EXTM3U\n");
  for (int32_t i = 0; i < list.count; ++i) {
    const int id = static_cast<int>(list.channels[i].id);
    const TextView name = channelName(list, i);
    pageFormat(page, "#EXTINF:-1 tvg-id=\"%d\" tvg-chno=\"%d\" tvg-name=\"", id, id);
    pageAddM3u(page, name);
    pageAdd(page, "\",");
    pageAddM3u(page, name);
    pageAdd(page, "\n");
    pageAdd(page, base);
    pageFormat(page, "/?id=%d%s\n", id, format == StreamFormat::Ts ? "&format=ts" : "");
  }
}

// ---- What runs now, for the start page and /status.json -----------------

// Calls `each` with every stream running now (copies of their slots).
template <typename Each>
void forEachStream(ServerControl* server, Each each) {
  for (int i = 0; i < kMaxPlayers; ++i) {
    StreamSlot slot;
    if (copyStreamSlot(server->slots[i], &slot)) each(slot);
  }
}

// Calls `each` with every recent error line.
template <typename Each>
void forEachError(Each each) {
  char errors[1024];
  LogRecentErrors(errors, sizeof errors);
  TextView rest(errors);
  while (!rest.empty()) {
    const size_t end = findChar(rest, '\n');
    each(subText(rest, 0, end));
    rest = end == kNotFound ? TextView() : subText(rest, end + 1);
  }
}

void writeStatusJson(PageText* page, ServerControl* server) {
  const int64_t now = monotonicMs();
  pageFormat(page, "{\"program\":\"zomaktvproxy\",\"version\":\"%s\",\"uptimeSeconds\":%lld,", ZTV_VERSION,
             static_cast<long long>((now - server->startedMs) / 1000));
  pageFormat(page, "\"players\":%d,\"streamsRunning\":%d,\"streams\":[", static_cast<int>(server->players),
             static_cast<int>(server->streams.load()));
  const char* comma = "";
  forEachStream(server, [&](const StreamSlot& slot) {
    pageFormat(page, "%s\n{\"player\":\"", comma);
    pageAddJson(page, slot.player);
    pageAdd(page, "\",\"asked\":\"");
    pageAddWithoutQueries(page, slot.asked, pageAddJson);
    pageAdd(page, "\",\"video\":\"");
    pageAddWithoutQueries(page, slot.video, pageAddJson);
    pageFormat(page, "\",\"channel\":%d,\"seconds\":%lld,\"bytesSent\":%lld}", static_cast<int>(slot.channelId),
               static_cast<long long>((now - slot.startedMs) / 1000),
               static_cast<long long>(slot.bytesSent));
    comma = ",";
  });
  pageAdd(page, "],\"lastErrors\":[");
  comma = "";
  forEachError([&](TextView line) {
    pageFormat(page, "%s\"", comma);
    pageAddWithoutQueries(page, line, pageAddJson);
    pageAdd(page, "\"");
    comma = ",";
  });
  pageAdd(page, "]}\n");
}

// ---- The start page -----------------------------------------------------

constexpr char kHead[] =
    "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>zomaktvproxy</title>\n"
    "<style>body{font-family:sans-serif;margin:1em auto;padding:0 1em;max-width:46em;line-height:1.4}"
    "table{border-collapse:collapse;width:100%}th,td{text-align:left;padding:.35em .5em;"
    "border-bottom:1px solid #ccc;vertical-align:top}td:last-child{white-space:nowrap}code,pre{word-break:break-all;white-space:pre-wrap}"
    "pre{background:#f4f4f4;padding:.5em}</style>\n</head>\n<body>\n";

// A link whose text is its address.
void addLink(PageText* page, TextView base, TextView rest, TextView text = {}) {
  pageAdd(page, "<a href=\"");
  pageAddHtml(page, base);
  pageAddHtml(page, rest);
  pageAdd(page, "\">");
  if (text.empty()) {
    pageAddHtml(page, base);
    pageAddHtml(page, rest);
  } else {
    pageAddHtml(page, text);
  }
  pageAdd(page, "</a>");
}

void writeChannels(PageText* page, TextView base, const ChannelList& list) {
  pageAdd(page, "<h2>Channels</h2>\n");
  if (list.count == 0) {
    pageAdd(page, channelListGiven() ? "<p>The channel list is empty.</p>\n" : "<p>No channel list yet.</p>\n");
    pageAdd(page,
            "<p>Write the channels into a text file, one a line: the channel's number, then its name "
            "(a line that starts with # is a comment):</p>\n<pre>1 News\n2 Sport\n# 3 Films, not yet</pre>\n"
            "<p>and start the proxy with <code>--channels FILE</code>. The file is read again whenever it "
            "changes; any channel can also be watched by its address, <code>");
    pageAddHtml(page, base);
    pageAdd(page, "/?id=N</code>.</p>\n");
    return;
  }
  pageAdd(page, "<table>\n<tr><th>No.</th><th>Channel</th><th>Watch</th></tr>\n");
  for (int32_t i = 0; i < list.count; ++i) {
    char query[48];
    snprintf(query, sizeof query, "/?id=%d", static_cast<int>(list.channels[i].id));
    pageFormat(page, "<tr><td>%d</td><td>", static_cast<int>(list.channels[i].id));
    pageAddHtml(page, channelName(list, i));
    pageAdd(page, "</td><td>");
    addLink(page, base, query, "FLV");
    pageAdd(page, " &middot; ");
    snprintf(query + strlen(query), sizeof query - strlen(query), "&format=ts");
    addLink(page, base, query, "MPEG-TS");
    pageAdd(page, "</td></tr>\n");
  }
  pageAdd(page, "</table>\n");
}

void writeWhereToAdd(PageText* page, TextView base, int tuners) {
  pageAdd(page, "<h2>Playlist</h2>\n<p>For VLC, Kodi, TiviMate and the IPTV apps of TVs: ");
  addLink(page, base, "/channels.m3u");
  pageAdd(page, "<br>\nThe same channels as MPEG-TS: ");
  addLink(page, base, "/channels.m3u?format=ts");
  pageAdd(page, "</p>\n<h2>Media servers</h2>\n<p>Plex, Emby and Jellyfin: add a network tuner "
                "(of the HDHomeRun type) at <code>");
  pageAddHtml(page, base);
  pageFormat(page, "</code> (device id %s, %d tuners).</p>\n", tunerDeviceId(), tuners);
}

void writeNow(PageText* page, ServerControl* server) {
  const int64_t now = monotonicMs();
  pageAdd(page, "<h2>Now</h2>\n<p>Up ");
  pageAddDuration(page, now - server->startedMs);
  pageFormat(page, "; streams: %d of %d players.</p>\n", static_cast<int>(server->streams.load()),
             static_cast<int>(server->players));
  pageAdd(page, "<ul>\n");
  forEachStream(server, [&](const StreamSlot& slot) {
    pageAdd(page, "<li>");
    pageAddHtml(page, slot.player);
    pageAdd(page, ": ");
    pageAddWithoutQueries(page, slot.asked, pageAddHtml);
    pageAdd(page, ", for ");
    pageAddDuration(page, now - slot.startedMs);
    pageFormat(page, ", %lld bytes sent<br>\nvideo: <code>", static_cast<long long>(slot.bytesSent));
    pageAddWithoutQueries(page, slot.video[0] != '\0' ? slot.video : "(none yet)", pageAddHtml);
    pageAdd(page, "</code></li>\n");
  });
  pageAdd(page, "</ul>\n<h2>Last errors</h2>\n<pre>");
  bool none = true;
  forEachError([&](TextView line) {
    pageAddWithoutQueries(page, line, pageAddHtml);
    pageAdd(page, "\n");
    none = false;
  });
  pageAdd(page, none ? "(none)</pre>\n" : "</pre>\n");
}

void writeStartPage(PageText* page, ServerControl* server, TextView base, const ChannelList& list) {
  pageAdd(page, kHead);
  pageFormat(page, "<h1>zomaktvproxy %s</h1>\n", ZTV_VERSION);
  writeChannels(page, base, list);
  writeWhereToAdd(page, base, static_cast<int>(server->players));
  writeNow(page, server);
  pageAdd(page, "<p>The same as <a href=\"/status\">text</a> and <a href=\"/status.json\">JSON</a>.</p>\n"
                "</body>\n</html>\n");
}

void writePage(PageText* page, ServerControl* server, const HttpRequest& request, TextView base,
               const ChannelList& list) {
  switch (request.kind) {
    case RequestKind::StartPage: writeStartPage(page, server, base, list); break;
    case RequestKind::StatusJson: writeStatusJson(page, server); break;
    case RequestKind::Playlist: writePlaylist(page, base, list, request.format); break;
    case RequestKind::Discover: writeDiscover(page, base, static_cast<int>(server->players)); break;
    case RequestKind::Lineup: writeLineup(page, base, list); break;
    case RequestKind::LineupStatus: writeLineupStatus(page); break;
    case RequestKind::DeviceXml: writeDeviceXml(page, base); break;
    default: break;  // LineupPost: an empty body
  }
}

}  // namespace

void boxBaseUrl(TextView host, int socket, char* out, size_t size) {
  if (isWellFormedHost(host)) {
    snprintf(out, size, "http://%.*s", static_cast<int>(host.size), host.data);
    return;
  }
  char address[80];
  acceptedAddress(socket, address, sizeof address);
  snprintf(out, size, "http://%s", address);
}

void answerPage(ServerControl* server, int socket, const HttpRequest& request) {
  char base[kBaseSize];
  boxBaseUrl(request.host, socket, base, sizeof base);
  ChannelList* list = channelListHold();
  PageText page;
  writePage(&page, server, request, base, *list);
  channelListLetGo(list);
  sendPage(socket, request, page);
}
